#pragma once

#include "host/runtime.hpp"
#include "tileway/cache.hpp"
#include "tileway/tile_cover.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace tileway {

// Deletes `keys` (relative to the cache's namespace) in DEL commands of a few hundred keys, one
// after the other, so that the requests sharing the Redis connection never queue behind one
// long command; returns how many of them existed. Deleting is idempotent: several processes may
// purge the same keys. Redis failures reach the caller.
host::awaitable<std::int64_t> delete_cache_keys(const BinaryRedisCache& cache,
                                                const std::vector<std::string>& keys);

// Deletes the keys of every tile of `cover`, computed from the grid (no SCAN): the cover is
// walked batch by batch and never becomes a list. Returns how many keys existed.
host::awaitable<std::int64_t> purge_tile_cover(const BinaryRedisCache& cache,
                                               LayerTileCover& cover);

}  // namespace tileway
