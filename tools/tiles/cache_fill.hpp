#pragma once

#include "host/redis.hpp"
#include "host/runtime.hpp"
#include "progress_bar.hpp"
#include "tileway/cache.hpp"
#include "tileway/tile_cover.hpp"

#include <cstdint>
#include <string_view>

namespace tiles {

struct SeedSummary {
    std::int64_t built = 0;   // stored in the cache
    std::int64_t empty = 0;   // not stored, as the route does not store them
    std::int64_t failed = 0;  // past the zoom's statement time limit
    std::int64_t bytes = 0;   // of the tiles stored
};

// Builds every tile of `cover` with `concurrency` builders on the event loop and stores each
// non-empty one under its key with its band's TTL (SET EX), as the tile route would. A tile
// that runs past its time limit is reported on `progress` and counted; any other failure
// (database, Redis) stops the builders and is rethrown.
host::awaitable<SeedSummary> seed_tiles(const tileway::BinaryRedisCache& cache,
                                        tileway::LayerTileCover& cover, int concurrency,
                                        ProgressBar& progress);

// The layer's extent in EPSG:3857 as the planner estimates it (the centroid statement).
// Throws std::runtime_error when there is no estimate (the table was never analysed).
host::awaitable<tileway::TileBounds> estimated_extent(std::string_view layer_name);

}  // namespace tiles
