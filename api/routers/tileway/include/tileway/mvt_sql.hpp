#pragma once

#include "tileway/zoom_config.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tileway {

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
