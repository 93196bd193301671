#pragma once

#include "host/redis.hpp"
#include "host/runtime.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tileway {

// How a counter gets the one-second expiry of its window. Both forms run in one MULTI/EXEC, so a
// counter never lives without its expiry, and neither extends a running window.
enum class CounterExpiry {
    detect,     // ask the server's version on first use: expire_nx from Redis 7 on, else set_nx
    expire_nx,  // INCR key, EXPIRE key 1 NX (Redis 7 and later; it also mends a counter that
                // some other writer left without expiry)
    set_nx,     // SET key 0 EX 1 NX, INCR key (any Redis since 2.6.12; INCR keeps the expiry)
};

// The commands of one count under `key` in `form` (not `detect`), and which of their replies is
// the count.
struct CounterCommands {
    std::vector<std::vector<std::string_view>> commands;
    std::size_t count_reply;
};
CounterCommands counter_commands(std::string_view key, CounterExpiry form);

// The major version in the text of INFO server ("redis_version:7.0.15"), or null.
std::optional<int> redis_major_version(std::string_view info);

// Counts requests in fixed one-second windows of Redis counters, on one client. With `detect`
// it sends INFO server at its first count, not before (the service starts with Redis down), and
// remembers the form it chose; a server that refuses the EXPIRE ... NX transaction (replaced by
// an older one) makes it ask again at the next count. A server that refuses INFO, or whose
// version cannot be read, gets set_nx. All calls on the client's executor.
class RequestCounter {
  public:
    RequestCounter(host::redis::Client& client, CounterExpiry expiry = CounterExpiry::detect)
        : client_(client), expiry_(expiry) {}

    // The count of `key` in its window, this request included. Redis failures throw.
    host::awaitable<std::int64_t> count(std::string key);

    // The form of the commands (never `detect`): known at once after the first count; else the
    // server is asked.
    std::optional<CounterExpiry> known_form() const noexcept;
    host::awaitable<CounterExpiry> form();
    // The count in the replies of the `form` transaction (RedisError when there is none).
    static std::int64_t count_in(const CounterCommands& window,
                                 const std::vector<host::redis::Reply>& replies);
    // The transaction was refused: a server that refused EXPIRE ... NX is asked its version again.
    void refused() noexcept;

  private:
    host::redis::Client& client_;
    CounterExpiry expiry_;
    std::optional<CounterExpiry> detected_;
};

}  // namespace tileway
