#include "tileway/tile_grid.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tileway {
namespace {

// Half the circumference of the Web Mercator sphere: the grid spans [-R*pi, R*pi] both ways.
constexpr double kOriginShift = kEarthRadius * std::numbers::pi;

double tile_size(std::int64_t z) {
    return 2.0 * kOriginShift / std::ldexp(1.0, static_cast<int>(z));
}

}  // namespace

bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y) {
    if (z < 1 || z > MAX_ZOOM)
        return false;
    const std::int64_t tiles = std::int64_t{1} << z;
    return x >= 0 && x < tiles && y >= 0 && y < tiles;
}

TileBounds xyz_to_bbox_web_mercator(std::int64_t z, std::int64_t x, std::int64_t y) {
    const double size = tile_size(z);
    auto column_edge = [&](std::int64_t i) {
        return -kOriginShift + static_cast<double>(i) * size;
    };
    auto row_edge = [&](std::int64_t j) { return kOriginShift - static_cast<double>(j) * size; };
    return {column_edge(x), row_edge(y + 1), column_edge(x + 1), row_edge(y)};
}

TileBounds wgs84_to_web_mercator(double x1, double y1, double x2, double y2) {
    // Degrees to radians by this constant and the radius applied last, as the transformation
    // pipeline of PostGIS does: another order differs in the last bits.
    constexpr double kRadiansPerDegree = 0.017453292519943295;
    const auto x = [](double lon) { return kEarthRadius * (lon * kRadiansPerDegree); };
    const auto y = [](double lat) {
        return kEarthRadius * std::asinh(std::tan(lat * kRadiansPerDegree));
    };
    return {x(std::min(x1, x2)), y(std::min(y1, y2)), x(std::max(x1, x2)), y(std::max(y1, y2))};
}

TileAddress latlon_to_xyz(double lat, double lon, std::int64_t zoom) {
    const double tiles = std::ldexp(1.0, static_cast<int>(zoom));
    const double lat_rad = lat * std::numbers::pi / 180.0;
    const double fx = (lon + 180.0) / 360.0 * tiles;
    const double fy = (1.0 - std::asinh(std::tan(lat_rad)) / std::numbers::pi) / 2.0 * tiles;
    const double last = tiles - 1.0;
    auto clamp_index = [last](double v) {
        if (std::isnan(v))
            return std::int64_t{0};
        return static_cast<std::int64_t>(std::clamp(std::floor(v), 0.0, last));
    };
    return {zoom, clamp_index(fx), clamp_index(fy)};
}

TileRange tiles_covering(const TileBounds& bounds, std::int64_t z) {
    const double size = tile_size(z);
    const double last = std::ldexp(1.0, static_cast<int>(z)) - 1.0;
    TileRange range{.z = z};
    if (!(bounds.minx <= bounds.maxx && bounds.miny <= bounds.maxy) ||
        bounds.maxx < -kOriginShift || bounds.minx > kOriginShift || bounds.maxy < -kOriginShift ||
        bounds.miny > kOriginShift)
        return range;
    // A rectangle edge that lies on a grid line touches the tiles on both sides of it.
    auto column = [&](double mx, bool low) {
        const double f = (mx + kOriginShift) / size;
        const double i = low ? std::ceil(f) - 1.0 : std::floor(f);
        return static_cast<std::int64_t>(std::clamp(i, 0.0, last));
    };
    auto row = [&](double my, bool low) {
        const double f = (kOriginShift - my) / size;
        const double j = low ? std::ceil(f) - 1.0 : std::floor(f);
        return static_cast<std::int64_t>(std::clamp(j, 0.0, last));
    };
    range.min_x = column(bounds.minx, true);
    range.max_x = column(bounds.maxx, false);
    range.min_y = row(bounds.maxy, true);
    range.max_y = row(bounds.miny, false);
    return range;
}

nlohmann::ordered_json to_json(const TileBounds& bounds) {
    nlohmann::ordered_json out;
    out["minx"] = bounds.minx;
    out["miny"] = bounds.miny;
    out["maxx"] = bounds.maxx;
    out["maxy"] = bounds.maxy;
    return out;
}

nlohmann::ordered_json to_json(const TileAddress& tile) {
    nlohmann::ordered_json out;
    out["z"] = tile.z;
    out["x"] = tile.x;
    out["y"] = tile.y;
    return out;
}

}  // namespace tileway
