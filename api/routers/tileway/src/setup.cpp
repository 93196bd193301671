#include "tileway/setup.hpp"

#include "routes.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/mvt_sql.hpp"

#include <charconv>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace tileway {
namespace {

struct Service {
    host::Logger logger;
    std::unique_ptr<host::http::Router> router;
    RedisSettings settings;
    std::unique_ptr<host::redis::Client> redis_client;
    std::unique_ptr<BinaryRedisCache> cache;
};

Service* service = nullptr;

std::string env_or(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string(fallback);
}

std::int64_t whole_number(const char* name, const std::string& text) {
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        throw std::invalid_argument(std::string(name) + " must be a whole number, got '" + text +
                                    "'");
    }
    return value;
}

Service& loaded() {
    if (!service)
        throw std::logic_error("tileway is not loaded");
    return *service;
}

void warm_statements() {
    for (const auto& [name, config] : LAYER_CONFIG)
        for (int zoom = config.min_zoom_or_zero(); zoom <= 20; ++zoom)
            if (zoom >= 1)
                mvt_sql_for_tile(name, zoom);
}

}  // namespace

RedisSettings read_redis_settings() {
    RedisSettings settings{env_or("REDIS_HOST", "localhost"),
                           whole_number("REDIS_PORT", env_or("REDIS_PORT", "6379")),
                           whole_number("REDIS_DB", env_or("REDIS_DB", "0"))};
    if (settings.redis_port < 0 || settings.redis_port > 65535)
        throw std::invalid_argument("REDIS_PORT must be a port number from 0 to 65535, got " +
                                    std::to_string(settings.redis_port));
    return settings;
}

const host::http::Router& load() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (service)
        return *service->router;

    auto next = std::make_unique<Service>();
    host::logging::request_default_level(spdlog::level::info);
    next->logger = host::get_logger("kavara.tileway");
    next->router =
        std::make_unique<host::http::Router>("/gis", std::vector<std::string>{"GIS Tiles"});
    next->settings = read_redis_settings();
    host::redis::Options options;
    options.host = next->settings.redis_host;
    options.port = static_cast<std::uint16_t>(next->settings.redis_port);
    options.db = next->settings.redis_db;
    options.connect_timeout = 5.0;
    options.socket_timeout = 5.0;
    next->redis_client =
        std::make_unique<host::redis::Client>(host::event_loop().get_executor(), options);
    next->cache = std::make_unique<BinaryRedisCache>(*next->redis_client, "mvt_v8");

    std::cout << "✓ Binary Redis cache initialized (no UTF-8 decoding)\n"
              << "  - Namespace: mvt_v8\n"
              << "  - Redis: " << next->settings.redis_host << ":" << next->settings.redis_port
              << "/" << next->settings.redis_db << "\n"
              << "  - decode_responses: False (handles binary data)" << std::endl;

    warm_statements();
    register_routes(*next->router);
    service = next.release();
    return *service->router;
}

const host::http::Router& tileway() {
    return *loaded().router;
}
host::redis::Client& redis_client() {
    return *loaded().redis_client;
}
const BinaryRedisCache& cache() {
    return *loaded().cache;
}
const host::Logger& logger() {
    return loaded().logger;
}
const RedisSettings& redis_settings() {
    return loaded().settings;
}

}  // namespace tileway
