#pragma once

#include "host/cors.hpp"
#include "host/server.hpp"
#include "tileway/service.hpp"

#include <spdlog/common.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kavara::server {

// Everything kavara-server is configured by, read once at start-up and handed down from there.
// Each member names the environment variable (and the option) it comes from; an empty variable
// counts as unset unless noted.
// One worker process per core of the machine (1 when that cannot be told), at most 64.
int default_workers();

struct Settings {
    std::string host = "127.0.0.1";  // KAVARA_HOST, --host
    std::uint16_t port = 8000;       // KAVARA_PORT, --port: 0 to 65535, 0 picks a free port
    // KAVARA_WORKERS, --workers: 1 to 64 processes; by default one per core, since a process
    // serves its requests on one thread.
    int workers = default_workers();
    // KAVARA_WEB_ROOT, --web-root: the demo page's folder, by default the page built in the
    // source tree; empty serves no page.
    std::filesystem::path web_root;
    // KAVARA_LOG_LEVEL; unset leaves the level to the modules.
    std::optional<spdlog::level::level_enum> log_level;
    std::size_t blocking_threads = 2;  // KAVARA_BLOCKING_THREADS: 1 to 64
    // DATABASE_URL; when empty the first database statement fails instead of the start-up.
    std::string database_url;
    std::size_t db_pool_size = 10;  // KAVARA_DB_POOL_SIZE: a positive integer
    // KAVARA_PLAN_MEMORY_MB: 16 to 65536, the memory the site plans in flight may hold together
    // in one worker; the default keeps a worker drawing four A0 plans under 600 MB resident.
    std::size_t plan_memory_mb = 192;
    int plan_rate = 2;  // KAVARA_PLAN_RATE: 1 to 10000 site plans per client and second
    // KAVARA_TRUSTED_PROXIES, comma-separated; set but empty trusts none.
    std::vector<std::string> trusted_proxies = host::http::ServerOptions{}.trusted_proxies;
    // KAVARA_MAX_CONNECTIONS_PER_CLIENT: 1 to 1000000 connections one client address (not a
    // trusted proxy) may hold open in a process.
    std::size_t max_connections_per_client =
        host::http::ServerOptions{}.max_connections_per_client;
    // KAVARA_CORS_ORIGINS: "*" or comma-separated exact origins whose pages may call the map
    // and plan routes; unset, no CORS header is sent.
    host::http::CorsPolicy cors;
    // KAVARA_WATCH_CHANGES: 1 (default) follows the database's change log and purges the tiles
    // each edit touched, when the database has one; 0 leaves edited tiles to expire.
    bool watch_changes = true;
    // Whether this process's watcher also purges each change again once settled and prunes the
    // log: of several workers the first does (every worker purges before telling its clients).
    bool prune_changes = true;
    // REDIS_HOST, REDIS_PORT (0 to 65535), REDIS_DB (a whole number); empty values count.
    // KAVARA_STREAMS_PER_CLIENT: 1 to 1000 change streams one client address may hold open in
    // a process.
    // KAVARA_PUBLIC_URL: the origin (and path prefix) of the URLs in TileJSON documents and the
    // style; unset, they follow each request's Host.
    tileway::Settings tiles;
    bool show_usage = false;  // --help or -h: print `usage` and stop
};

inline constexpr const char* usage =
    "usage: kavara-server [--host H] [--port P] [--workers N] [--web-root DIR]\n";

// Looks an environment variable up; null when it is unset.
using Environment = std::function<const char*(const char* name)>;

// The settings of `environment` and then of the command-line arguments `args` (without the
// program's name), which win. A value that is not allowed throws std::invalid_argument with a
// message naming the variable or option; the first bad value is reported.
Settings read_settings(const std::vector<std::string>& args,
                       const Environment& environment = std::getenv);

}  // namespace kavara::server
