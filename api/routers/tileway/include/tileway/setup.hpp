#pragma once

#include "host/logging.hpp"
#include "host/redis.hpp"
#include "host/router.hpp"
#include "tileway/cache.hpp"

#include <cstdint>
#include <string>

namespace tileway {

// Redis connection settings read from REDIS_HOST, REDIS_PORT and REDIS_DB.
struct RedisSettings {
    std::string redis_host;
    std::int64_t redis_port;
    std::int64_t redis_db;
};

// Reads the settings from the environment; a port or database number that is not a whole
// number throws std::invalid_argument.
RedisSettings read_redis_settings();

// Loads the service once per process: logging, the router, the Redis settings, the one Redis
// client and cache, the start-up lines on standard output and the routes. No Redis command is
// sent. Later calls return the same router. Throws when the settings are invalid.
const host::http::Router& load();

// The router mounted by the host (prefix "/gis"), the shared objects created at load.
const host::http::Router& tileway();
host::redis::Client& redis_client();
const BinaryRedisCache& cache();
const host::Logger& logger();
const RedisSettings& redis_settings();

}  // namespace tileway
