#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>

namespace tileway {

// The deepest zoom level of the tile grid the service answers.
inline constexpr std::int64_t MAX_ZOOM = 20;

// The radius of the Web Mercator sphere (EPSG:3857), in metres.
inline constexpr double kEarthRadius = 6378137.0;

// A tile of the Web Mercator grid: rows count from the north.
struct TileAddress {
    std::int64_t z = 0;
    std::int64_t x = 0;
    std::int64_t y = 0;
    friend bool operator==(const TileAddress&, const TileAddress&) = default;
};

// A rectangle in EPSG:3857 metres.
struct TileBounds {
    double minx = 0;
    double miny = 0;
    double maxx = 0;
    double maxy = 0;
    friend bool operator==(const TileBounds&, const TileBounds&) = default;
};

// True for a zoom from 1 to MAX_ZOOM and a column and row inside that zoom's grid.
bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y);

// Bounds of tile z/x/y. Every edge comes from its own grid line, so neighbours share edges
// exactly.
TileBounds xyz_to_bbox_web_mercator(std::int64_t z, std::int64_t x, std::int64_t y);

// A WGS84 rectangle (degrees, corners in either order) in EPSG:3857 metres, computed as
// PostGIS's ST_Transform computes it, to the last bit: x = R * lon, y = R * asinh(tan(lat)),
// R = 6378137.
TileBounds wgs84_to_web_mercator(double x1, double y1, double x2, double y2);

// The tile containing a WGS84 point. Points outside the Web Mercator latitude range are clamped
// to the first or last row.
TileAddress latlon_to_xyz(double lat, double lon, std::int64_t zoom);

// The range of tiles at zoom z that a rectangle in EPSG:3857 metres touches, clamped to the
// grid; a rectangle outside the grid gives an empty range.
struct TileRange {
    std::int64_t z = 0;
    std::int64_t min_x = 0, min_y = 0, max_x = -1, max_y = -1;
    bool empty() const noexcept { return max_x < min_x || max_y < min_y; }
    std::int64_t count() const noexcept {
        return empty() ? 0 : (max_x - min_x + 1) * (max_y - min_y + 1);
    }
};
TileRange tiles_covering(const TileBounds& bounds, std::int64_t z);

// The JSON forms published by the metadata routes: {"minx", "miny", "maxx", "maxy"} and
// {"z", "x", "y"}.
nlohmann::ordered_json to_json(const TileBounds& bounds);
nlohmann::ordered_json to_json(const TileAddress& tile);

}  // namespace tileway
