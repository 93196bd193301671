#include "host/utils.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace host {
namespace {

// Half the circumference of the Web Mercator sphere: the grid spans [-R*pi, R*pi] both ways.
constexpr double kOriginShift = 6378137.0 * std::numbers::pi;

}  // namespace

nlohmann::ordered_json xyz_to_bbox_web_mercator(std::int64_t z, std::int64_t x, std::int64_t y) {
    const double tiles = std::ldexp(1.0, static_cast<int>(z));
    const double size = 2.0 * kOriginShift / tiles;
    // Every edge is computed from its own grid line, so neighbouring tiles share edges exactly.
    auto column_edge = [&](std::int64_t i) {
        return -kOriginShift + static_cast<double>(i) * size;
    };
    auto row_edge = [&](std::int64_t j) { return kOriginShift - static_cast<double>(j) * size; };
    nlohmann::ordered_json bounds;
    bounds["minx"] = column_edge(x);
    bounds["miny"] = row_edge(y + 1);
    bounds["maxx"] = column_edge(x + 1);
    bounds["maxy"] = row_edge(y);
    return bounds;
}

nlohmann::ordered_json latlon_to_xyz(double lat, double lon, std::int64_t zoom) {
    const double tiles = std::ldexp(1.0, static_cast<int>(zoom));
    const double lat_rad = lat * std::numbers::pi / 180.0;
    const double fx = (lon + 180.0) / 360.0 * tiles;
    const double fy = (1.0 - std::asinh(std::tan(lat_rad)) / std::numbers::pi) / 2.0 * tiles;
    const double last = tiles - 1.0;
    auto clamp_index = [last](double v) {
        if (std::isnan(v))
            return 0.0;
        return std::clamp(std::floor(v), 0.0, last);
    };
    nlohmann::ordered_json tile;
    tile["z"] = zoom;
    tile["x"] = static_cast<std::int64_t>(clamp_index(fx));
    tile["y"] = static_cast<std::int64_t>(clamp_index(fy));
    return tile;
}

}  // namespace host
