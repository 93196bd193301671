#pragma once

#include <optional>
#include <string_view>

namespace tileway {

// How coarse a layer's tiles are at one zoom level.
struct ZoomConfig {
    int tolerance;      // simplification tolerance in metres; 0 = none
    int feature_limit;  // before the global cap
    int buffer;         // clipping buffer in tile-extent units
    int cache_ttl;      // seconds; also the max-age of a cache hit

    friend bool operator==(const ZoomConfig&, const ZoomConfig&) = default;
};

// The band of `zoom` for the layer, or null when the layer is not served at that zoom. A layer
// missing from the catalogue is served at every zoom.
std::optional<ZoomConfig> get_zoom_config(int zoom, std::string_view layer_name);

}  // namespace tileway
