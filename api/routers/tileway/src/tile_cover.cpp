#include "tileway/tile_cover.hpp"

#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/zoom_config.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tileway {
namespace {

constexpr double kEarthRadius = 6378137.0;
// The latitude of the grid's top edge: where the Web Mercator y equals pi * radius.
const double kMaxLatitude = std::atan(std::sinh(std::numbers::pi)) * 180.0 / std::numbers::pi;

bool served_at(const std::string& layer_name, std::int64_t z) {
    return z >= 1 && z <= MAX_ZOOM && get_zoom_config(static_cast<int>(z), layer_name).has_value();
}

double mercator_x(double lon) {
    return kEarthRadius * lon * std::numbers::pi / 180.0;
}

double mercator_y(double lat) {
    const double phi = std::clamp(lat, -kMaxLatitude, kMaxLatitude) * std::numbers::pi / 180.0;
    return kEarthRadius * std::log(std::tan(std::numbers::pi / 4.0 + phi / 2.0));
}

}  // namespace

LayerTileCover::LayerTileCover(std::string_view layer_name, const TileBounds& extent,
                               std::int64_t min_zoom, std::int64_t max_zoom)
    : layer_(layer_name), extent_(extent), max_zoom_(max_zoom), range_{.z = min_zoom - 1} {
    if (!LAYER_CONFIG.contains(layer_))
        throw ValueError(fmt::format("Unknown layer: {}", layer_));
    for (std::int64_t z = min_zoom; z <= max_zoom; ++z)
        if (served_at(layer_, z))
            size_ += tiles_covering(extent_, z).count();
}

bool LayerTileCover::enter_next_zoom() {
    while (range_.z < max_zoom_) {
        const std::int64_t z = range_.z + 1;
        range_ = served_at(layer_, z) ? tiles_covering(extent_, z) : TileRange{.z = z};
        if (!range_.empty()) {
            x_ = range_.min_x;
            y_ = range_.min_y;
            return true;
        }
    }
    return false;
}

std::optional<TileAddress> LayerTileCover::next() {
    if ((range_.empty() || x_ > range_.max_x) && !enter_next_zoom())
        return std::nullopt;
    const TileAddress tile{range_.z, x_, y_};
    if (++y_ > range_.max_y) {
        y_ = range_.min_y;
        ++x_;
    }
    return tile;
}

std::size_t LayerTileCover::next_keys(std::vector<std::string>& keys, std::size_t most) {
    std::size_t appended = 0;
    for (; appended < most; ++appended) {
        const auto tile = next();
        if (!tile)
            break;
        keys.push_back(tile_cache_key(layer_, tile->z, tile->x, tile->y));
    }
    return appended;
}

TileBounds web_mercator_bounds(double min_lon, double min_lat, double max_lon, double max_lat) {
    return {mercator_x(min_lon), mercator_y(min_lat), mercator_x(max_lon), mercator_y(max_lat)};
}

}  // namespace tileway
