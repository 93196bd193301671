#pragma once

#include "host/http.hpp"
#include "host/redis.hpp"
#include "host/runtime.hpp"

#include <cstdint>
#include <memory>

namespace site_plans {

// Plans per client in one-second windows of Redis counters under "rate_limit:plots:{client}",
// counted as the tiles are: INCR and EXPIRE key 1 NX in one MULTI/EXEC, so a counter never lives
// without its expiry. Beyond `per_second` the request is answered 429. When Redis fails or is
// slow the plan is drawn anyway, with a warning: the memory budget still bounds the damage.
class PlanRateLimit {
  public:
    PlanRateLimit(std::shared_ptr<host::redis::Client> redis, std::int64_t per_second)
        : redis_(std::move(redis)), per_second_(per_second) {}

    host::awaitable<void> enforce(const host::http::Request& request) const;

  private:
    std::shared_ptr<host::redis::Client> redis_;
    std::int64_t per_second_;
};

}  // namespace site_plans
