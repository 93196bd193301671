#pragma once

// What the tile routes count for the server's metrics: cache reads by layer, and the time tile
// statements take by layer and zoom band.

#include "host/metrics.hpp"

#include <chrono>
#include <cstdint>
#include <string_view>

namespace tileway {

inline constexpr host::metrics::Family kTileCacheReads{
    "kavara_tile_cache_reads_total", host::metrics::Kind::counter,
    "Tile cache reads of the tile routes, by layer, route and result."};
inline constexpr host::metrics::Family kStatementSeconds{
    "kavara_tile_statement_duration_seconds", host::metrics::Kind::histogram,
    "Time of tile statements, by layer and zoom band."};

inline void count_cache_read(std::string_view layer, std::string_view route, bool hit) {
    host::metrics::add(kTileCacheReads,
                       {{"layer", layer}, {"route", route}, {"result", hit ? "hit" : "miss"}});
}

// The zoom bands of the tile statements' time limits.
inline std::string_view zoom_band(std::int64_t z) {
    if (z <= 6)
        return "z1-6";
    if (z <= 10)
        return "z7-10";
    if (z <= 14)
        return "z11-14";
    if (z <= 16)
        return "z15-16";
    return "z17-20";
}

// Records the time from its creation to its end, failed statements included.
class StatementTimer {
  public:
    StatementTimer(std::string_view layer, std::string_view band)
        : layer_(layer), band_(band), started_(std::chrono::steady_clock::now()) {}
    ~StatementTimer() {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started_;
        host::metrics::observe(kStatementSeconds, {{"layer", layer_}, {"zoom_band", band_}},
                               took.count());
    }
    StatementTimer(const StatementTimer&) = delete;
    StatementTimer& operator=(const StatementTimer&) = delete;

  private:
    std::string_view layer_;
    std::string_view band_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace tileway
