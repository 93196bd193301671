#include "tileway/service.hpp"

#include "failures.hpp"
#include "redis_budget.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/mvt_sql.hpp"
#include "tileway/tile_grid.hpp"

#include <iostream>

namespace tileway {
namespace {

host::redis::Options client_options(const RedisSettings& settings, bool track_keys) {
    host::redis::Options options;
    options.host = settings.redis_host;
    options.port = settings.redis_port;
    options.db = settings.redis_db;
    options.connect_timeout = 5.0;
    options.socket_timeout = 5.0;
    options.track_keys = track_keys;
    return options;
}

host::Logger service_logger() {
    host::logging::request_default_level(spdlog::level::info);
    return host::get_logger("kavara.tileway");
}

// Every statement a tile request can need, built before the first request.
void warm_statements() {
    for (const auto& [name, config] : LAYER_CONFIG)
        for (int zoom = std::max(config.min_zoom_or_zero(), 1); zoom <= MAX_ZOOM; ++zoom)
            mvt_sql_for_tile(name, zoom);
}

}  // namespace

Service::Service(Settings settings, boost::asio::any_io_executor executor)
    : settings_(std::move(settings)),
      logger_(service_logger()),
      redis_client_(std::move(executor),
                    client_options(settings_.redis, settings_.tile_memory_bytes > 0)),
      cache_(redis_client_, std::string(kTileCacheNamespace)),
      request_counter_(redis_client_),
      kept_tiles_(settings_.tile_memory_bytes) {
    redis_client_.set_invalidation_handler([this](const std::vector<std::string_view>* keys) {
        if (!keys) {
            kept_tiles_.clear();
            return;
        }
        for (std::string_view key : *keys)
            kept_tiles_.erase(key);
    });
    const RedisSettings& redis = settings_.redis;
    std::cout << "✓ Binary Redis cache initialized (no UTF-8 decoding)\n"
              << "  - Namespace: mvt_v8\n"
              << "  - Redis: " << redis.redis_host << ":" << redis.redis_port << "/"
              << redis.redis_db << "\n"
              << "  - decode_responses: False (handles binary data)" << std::endl;
    if (!settings_.admin_token || settings_.admin_token->empty())
        logger_->warn(
            "No admin token is set (KAVARA_ADMIN_TOKEN): cache invalidation is open to every "
            "client");
    warm_statements();
}

host::awaitable<std::optional<host::Bytes>> Service::safe_cache_get(
    std::string key, double timeout, const RedisBudget* budget) const {
    try {
        // Worked out before the co_await: GCC 12 mishandles a conditional inside one.
        auto limit = host::seconds_to_duration(timeout);
        if (budget)
            limit = budget->next_wait(limit);
        co_return co_await host::wait_for(cache_.get(key), limit);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        logger_->warn("Cache get failed for {}: {}", key, e.what());
    }
    co_return std::nullopt;
}

host::awaitable<void> Service::safe_cache_set(std::string key, host::Bytes value, std::int64_t ttl,
                                              const RedisBudget* budget) const {
    try {
        if (budget) {
            const auto wait = budget->next_wait(host::seconds_to_duration(5.0));
            co_await host::wait_for(cache_.set(key, std::move(value), ttl), wait);
        } else {
            co_await cache_.set(key, std::move(value), ttl);
        }
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        logger_->warn("Cache set failed for {}: {}", key, e.what());
    }
}

void Service::cache_set_in_background(std::string_view key, const host::Bytes& value,
                                      std::int64_t ttl) const {
    // The command is encoded here, so the task needs nothing of this object but the logger. Its
    // limit is the cache read's: a stalled Redis must not pile up tiles waiting to be stored.
    auto store = redis_client_.set(cache_._make_key(key), value.view(), ttl);
    host::spawn_background([](host::awaitable<void> command, std::shared_ptr<spdlog::logger> logger,
                              std::string stored_key) -> host::awaitable<void> {
        try {
            co_await host::wait_for(std::move(command), 1.0);
        } catch (const std::exception& e) {
            logger->warn("Cache set failed for {}: {}", stored_key, e.what());
        }
    }(std::move(store), logger_, std::string(key)));
}

}  // namespace tileway
