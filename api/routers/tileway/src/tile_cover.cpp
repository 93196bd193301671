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

// The latitude of the grid's top edge: where the Web Mercator y equals pi * radius.
const double kMaxLatitude = std::atan(std::sinh(std::numbers::pi)) * 180.0 / std::numbers::pi;

// The side of a zoom-0 tile, and the tile extent a band's clipping buffer is counted in.
constexpr double kWorldSize = 2.0 * std::numbers::pi * kEarthRadius;
constexpr double kTileExtent = 4096.0;

bool served_at(const std::string& layer_name, std::int64_t z) {
    return z >= 1 && z <= MAX_ZOOM && get_zoom_config(static_cast<int>(z), layer_name).has_value();
}

}  // namespace

LayerTileCover::LayerTileCover(std::string_view layer_name, const TileBounds& extent,
                               std::int64_t min_zoom, std::int64_t max_zoom, Margin margin)
    : layer_(layer_name),
      extent_(extent),
      margin_(margin),
      max_zoom_(max_zoom),
      range_{.z = min_zoom - 1} {
    if (!LAYER_CONFIG.contains(layer_))
        throw ValueError(fmt::format("Unknown layer: {}", layer_));
    for (std::int64_t z = min_zoom; z <= max_zoom; ++z)
        size_ += range_at(z).count();
}

TileRange LayerTileCover::range_at(std::int64_t z) const {
    if (!served_at(layer_, z))
        return TileRange{.z = z};
    return tiles_covering(
        margin_ == Margin::clipping_buffer ? buffered_extent(layer_, extent_, z) : extent_, z);
}

bool LayerTileCover::enter_next_zoom() {
    while (range_.z < max_zoom_) {
        range_ = range_at(range_.z + 1);
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
        append_tile_keys(keys, layer_, *tile);
    }
    return appended;
}

TileBounds buffered_extent(std::string_view layer_name, const TileBounds& extent, std::int64_t z) {
    const std::string layer(layer_name);
    if (!served_at(layer, z))
        return extent;
    const int buffer = get_zoom_config(static_cast<int>(z), layer)->buffer;
    const double margin = kWorldSize / std::exp2(static_cast<double>(z)) * buffer / kTileExtent;
    return {extent.minx - margin, extent.miny - margin, extent.maxx + margin, extent.maxy + margin};
}

TileBounds web_mercator_bounds(double min_lon, double min_lat, double max_lon, double max_lat) {
    const auto on_grid = [](double lat) { return std::clamp(lat, -kMaxLatitude, kMaxLatitude); };
    return wgs84_to_web_mercator(min_lon, on_grid(min_lat), max_lon, on_grid(max_lat));
}

}  // namespace tileway
