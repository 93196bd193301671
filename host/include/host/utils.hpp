#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>

namespace host {

// Bounds of a tile in EPSG:3857 metres: {"minx", "miny", "maxx", "maxy"}.
nlohmann::ordered_json xyz_to_bbox_web_mercator(std::int64_t z, std::int64_t x, std::int64_t y);

// The tile containing a WGS84 point: {"z", "x", "y"}. Rows count from the north; points outside
// the Web Mercator latitude range are clamped to the first or last row.
nlohmann::ordered_json latlon_to_xyz(double lat, double lon, std::int64_t zoom);

}  // namespace host
