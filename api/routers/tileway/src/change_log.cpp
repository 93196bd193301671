#include "tileway/change_log.hpp"

#include "tileway/catalogue.hpp"
#include "tileway/tile_grid.hpp"
#include "tileway/tile_purge.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tileway {
namespace {

// Covers up to this many tiles are listed, so that neighbouring edits share their tiles; larger
// ones are walked when purged, so that memory stays small whatever the extent.
constexpr std::int64_t kListedCoverLimit = 20000;
constexpr std::size_t kKeysPerStep = 512;

double longitude(double x) {
    return x / kEarthRadius * 180.0 / std::numbers::pi;
}

double latitude(double y) {
    return std::atan(std::sinh(y / kEarthRadius)) * 180.0 / std::numbers::pi;
}

TileBounds covering(const ChangeRecord& change) {
    if (!change.old_extent)
        return *change.new_extent;
    if (!change.new_extent)
        return *change.old_extent;
    const TileBounds& a = *change.old_extent;
    const TileBounds& b = *change.new_extent;
    return {std::min(a.minx, b.minx), std::min(a.miny, b.miny), std::max(a.maxx, b.maxx),
            std::max(a.maxy, b.maxy)};
}

}  // namespace

void ChangedTiles::add(const ChangeRecord& change) {
    if (!LAYER_CONFIG.contains(change.layer))
        return;
    for (const auto& extent : {change.old_extent, change.new_extent})
        if (extent)
            add_extent(change.layer, *extent);
}

void ChangedTiles::add_extent(const std::string& layer, const TileBounds& extent) {
    LayerTileCover cover(layer, extent, 1, MAX_ZOOM, Margin::clipping_buffer);
    if (cover.size() > kListedCoverLimit) {
        large_.push_back(std::move(cover));
        return;
    }
    std::vector<std::string> keys;
    while (cover.next_keys(keys, kKeysPerStep) > 0) {
    }
    listed_.insert(keys.begin(), keys.end());
}

host::awaitable<std::int64_t> ChangedTiles::purge(const BinaryRedisCache& cache) {
    const std::vector<std::string> keys(listed_.begin(), listed_.end());
    std::int64_t deleted = co_await delete_cache_keys(cache, keys);
    for (LayerTileCover cover : large_)  // a copy: the cover is used up by walking it
        deleted += co_await purge_tile_cover(cache, cover);
    co_return deleted;
}

nlohmann::ordered_json change_event(const ChangeRecord& change) {
    nlohmann::ordered_json event;
    event["layer"] = change.layer;
    if (change.old_extent || change.new_extent) {
        const TileBounds box = covering(change);
        event["extent"] = {longitude(box.minx), latitude(box.miny), longitude(box.maxx),
                           latitude(box.maxy)};
    }
    return event;
}

}  // namespace tileway
