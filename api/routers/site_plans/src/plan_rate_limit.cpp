#include "plan_rate_limit.hpp"

#include "host/logging.hpp"
#include "host/metrics.hpp"

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace site_plans {
namespace {

// A counter costs one round trip on loopback; past this the plan goes ahead uncounted.
constexpr auto kCounterTimeLimit = std::chrono::milliseconds(500);

std::string client_of(const host::http::Request& request) {
    if (!request.client_host || request.client_host->empty())
        return "unknown";
    return *request.client_host;
}

}  // namespace

host::awaitable<void> PlanRateLimit::enforce(const host::http::Request& request) const {
    if (!redis_)
        co_return;
    const std::string key = "rate_limit:plots:" + client_of(request);
    const std::vector<std::vector<std::string_view>> window{{"INCR", key},
                                                            {"EXPIRE", key, "1", "NX"}};
    std::int64_t count = 0;
    try {
        auto replies = co_await host::wait_for(redis_->transaction(window), kCounterTimeLimit);
        if (replies.empty() || replies[0].type != host::redis::Reply::Type::integer)
            throw host::redis::RedisError("unexpected reply to INCR");
        count = replies[0].integer;
    } catch (const host::redis::RedisError& e) {
        host::get_logger()->warn("Plan rate limit check failed: {}", e.what());
        co_return;
    } catch (const host::TimeoutError& e) {
        host::get_logger()->warn("Plan rate limit check failed: {}", e.what());
        co_return;
    }
    if (count > per_second_) {
        host::metrics::add(host::metrics::kRateLimitRefusals, {{"limit", "plans"}});
        throw host::http::HTTPException(429, "Too many plan requests.");
    }
}

}  // namespace site_plans
