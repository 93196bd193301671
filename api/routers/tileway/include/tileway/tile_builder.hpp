#pragma once

#include "host/bytes.hpp"
#include "host/database.hpp"
#include "host/runtime.hpp"
#include "tileway/tile_grid.hpp"

#include <optional>
#include <string_view>

namespace tileway {

// The bytes of tile z/x/y of a layer, built exactly as the tile route builds them: the layer's
// statement for that zoom over the tile's bounds, in a transaction scope of `db` (closed on
// every path), under the zoom's statement time limit. Null for an empty tile (no row, a null
// value or no bytes), which the route answers with 204 and does not store.
//
// Throws ValueError for a layer or zoom the catalogue does not serve; database failures
// (host::database::DatabaseError) and the time limit (host::TimeoutError) pass through.
// What to store a built tile for is get_zoom_config(z, layer)->cache_ttl.
host::awaitable<std::optional<host::Bytes>> build_tile(host::database::Session& db,
                                                       std::string_view layer_name,
                                                       TileAddress tile);

}  // namespace tileway
