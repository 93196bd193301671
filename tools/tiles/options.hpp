#pragma once

#include "tileway/tile_grid.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace tiles {

enum class Command { seed, purge, help };

// A rectangle of longitudes and latitudes in degrees (EPSG:4326).
struct LonLatBox {
    double min_lon, min_lat, max_lon, max_lat;
};

struct Options {
    Command command = Command::help;
    std::string layer;
    std::int64_t min_zoom = 1;
    std::int64_t max_zoom = tileway::MAX_ZOOM;
    std::optional<LonLatBox> bbox;  // null: the layer's estimated extent
    int concurrency = 4;
};

// Where the tool finds its servers, read from the environment as the server reads it.
struct Environment {
    std::string database_url;  // DATABASE_URL; empty when unset
    std::string redis_host = "localhost";
    std::uint16_t redis_port = 6379;
    std::int64_t redis_db = 0;
};

// A command line or environment the tool cannot run with; the message says why.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads `seed|purge --layer L [--zooms A-B] [--bbox minlon,minlat,maxlon,maxlat]
// [--concurrency N]` (options also as --name=value) and `--help`. Every number must be the whole
// text of its argument. seed needs --zooms; purge defaults to every zoom.
Options parse_options(int argc, const char* const* argv);

// DATABASE_URL, REDIS_HOST, REDIS_PORT (0 to 65535) and REDIS_DB (a whole number), through
// `getenv`.
Environment read_environment(const char* (*getenv)(const char*));

extern const char* const usage;

}  // namespace tiles
