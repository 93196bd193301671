#include "tileway/tile_builder.hpp"

#include "tile_query.hpp"
#include "tileway/mvt_sql.hpp"

#include <fmt/format.h>

namespace tileway {

host::awaitable<std::optional<host::Bytes>> build_tile(host::database::Session& db,
                                                       std::string_view layer_name,
                                                       TileAddress tile) {
    if (!validate_tile_coords(tile.z, tile.x, tile.y))
        throw ValueError(
            fmt::format("Invalid tile coordinates: z={}, x={}, y={}", tile.z, tile.x, tile.y));
    const std::string& sql = mvt_sql_for_tile(layer_name, static_cast<int>(tile.z)).first;
    const TileBounds bounds = xyz_to_bbox_web_mercator(tile.z, tile.x, tile.y);
    const host::database::Params params{{"min_x", bounds.minx},
                                        {"min_y", bounds.miny},
                                        {"max_x", bounds.maxx},
                                        {"max_y", bounds.maxy}};
    auto bytes = co_await fetch_tile(db, sql, params, tile_timeout(tile.z));
    if (bytes && bytes->empty())
        bytes.reset();
    co_return bytes;
}

}  // namespace tileway
