#pragma once

#include "host/bytes.hpp"
#include "host/logging.hpp"
#include "host/near_cache.hpp"
#include "host/public_origin.hpp"
#include "host/redis.hpp"
#include "host/runtime.hpp"
#include "tileway/cache.hpp"
#include "tileway/change_feed.hpp"
#include "tileway/request_counter.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace tileway {

class RedisBudget;

// Where the tile cache and the rate-limit counters live.
struct RedisSettings {
    std::string redis_host = "localhost";
    std::uint16_t redis_port = 6379;
    std::int64_t redis_db = 0;
};

// What the host configures the service with, once at start-up.
struct Settings {
    RedisSettings redis;
    // The bearer token that cache invalidation asks for. Without one (null or empty) the route
    // is open to every client, and creating the service logs a warning.
    std::optional<std::string> admin_token = std::nullopt;
    // Bytes of hot z/x/y tiles this process keeps in memory beside the shared cache; 0 keeps
    // none. Kept copies stay exact: Redis tells the process when a key it keeps changes, and a
    // kept tile is served only once every such notice sent before the request has been read.
    std::size_t tile_memory_bytes = std::size_t{128} << 20;
    // Change streams one client address may hold open at once in a process.
    std::size_t streams_per_client = 4;
    // Where the URLs of TileJSON documents and the style point; by default wherever each
    // request was sent.
    host::http::PublicOrigin public_origin = {};
};

// The state every route of the service shares: its settings, its logger, the one Redis client of
// the process, the tile cache and the rate limiters' request counter over it. Created once when the
// host loads the service, read-only afterwards; it must outlive the routes registered with it.
class Service {
  public:
    // Requests logging at level INFO (unless the host configured it), creates the client (no
    // command is sent) and the cache, writes the start-up lines to standard output and warns
    // when no admin token is set.
    Service(Settings settings, boost::asio::any_io_executor executor);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    const Settings& settings() const noexcept { return settings_; }
    const host::Logger& logger() const noexcept { return logger_; }
    host::redis::Client& redis_client() const noexcept { return redis_client_; }
    const BinaryRedisCache& cache() const noexcept { return cache_; }
    RequestCounter& request_counter() const noexcept { return request_counter_; }
    // Copies of tiles under their full cache keys; empty when the settings keep none.
    host::NearCache& kept_tiles() const noexcept { return kept_tiles_; }
    // The changes this process's watcher handled, for the clients listening to them.
    ChangeFeed& change_feed() const noexcept { return change_feed_; }

    // The cached bytes, or null on a miss, a time-out or any failure (logged as a warning).
    // With `budget`, waits at most what is left of it.
    host::awaitable<std::optional<host::Bytes>> safe_cache_get(
        std::string key, double timeout = 1.0, const RedisBudget* budget = nullptr) const;
    // Stores the bytes; failures are logged as a warning and ignored. With `budget`, waits at
    // most what is left of it.
    host::awaitable<void> safe_cache_set(std::string key, host::Bytes value, std::int64_t ttl,
                                         const RedisBudget* budget = nullptr) const;

    // Stores the bytes without holding the caller: the command is queued now, behind every
    // command the process sent before, and its outcome is only logged (a failure as a warning).
    void cache_set_in_background(std::string_view key, const host::Bytes& value,
                                 std::int64_t ttl) const;

  private:
    Settings settings_;
    host::Logger logger_;
    mutable host::redis::Client redis_client_;
    BinaryRedisCache cache_;
    mutable RequestCounter request_counter_;
    mutable host::NearCache kept_tiles_;
    mutable ChangeFeed change_feed_;
};

}  // namespace tileway
