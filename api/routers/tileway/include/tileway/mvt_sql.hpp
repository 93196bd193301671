#pragma once

#include "tileway/catalogue.hpp"
#include "tileway/zoom_config.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tileway {

// The envelope of the tile bounds bound as :min_x, :min_y, :max_x, :max_y (EPSG:3857).
inline constexpr std::string_view kTileEnvelope =
    "ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)";

// The parts in which the z/x/y and the bounding-box tile statements differ.
struct MvtSelect {
    std::string geom_expr;       // the geometry column, or its simplification
    std::string buffer;          // clipping buffer in tile-extent units
    std::string spatial_filter;  // the WHERE condition of the inner select
    std::string limit;           // a number or a bind parameter
    std::string_view end;        // what follows the outer WHERE condition: ";" or nothing
};

// The statement that encodes the features of `layer` inside the tile envelope as one MVT layer
// named `layer_name` (extent 4096, clipped, largest features first).
std::string mvt_select_sql(std::string_view layer_name, const LayerConfig& layer,
                           const MvtSelect& parts);

// The statement time limit of a zoom level, in seconds.
double tile_timeout(std::int64_t z);

// The statement that encodes one tile of a layer at a zoom level, and the band it used. The tile
// bounds are the parameters :min_x, :min_y, :max_x, :max_y (EPSG:3857). An absent or zero zoom
// uses the band of zoom 10. Throws ValueError for an unknown layer or a zoom below the layer's
// minimum.
std::pair<std::string, ZoomConfig> generate_mvt_sql(std::string_view layer_name,
                                                    std::optional<int> zoom = std::nullopt);

// The same statement, built once per layer and zoom and kept for the life of the process, so a
// tile request does not rebuild its text.
const std::pair<std::string, ZoomConfig>& mvt_sql_for_tile(std::string_view layer_name, int zoom);

}  // namespace tileway
