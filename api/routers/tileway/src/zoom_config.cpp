#include "tileway/zoom_config.hpp"

#include "tileway/catalogue.hpp"

#include <array>

namespace tileway {
namespace {

struct Band {
    int upper_zoom;  // inclusive
    int tolerance;
    int feature_limit;
    int buffer;
    bool long_lived;
};

constexpr std::array<Band, 8> kBands{{
    {4, 1000, 2000, 512, true},
    {6, 500, 3000, 256, true},
    {8, 250, 5000, 256, true},
    {10, 100, 8000, 256, true},
    {12, 50, 10000, 256, false},
    {14, 10, 15000, 64, false},
    {16, 0, 20000, 16, false},
    {99, 0, 30000, 8, false},  // 17 and above
}};

}  // namespace

std::optional<ZoomConfig> get_zoom_config(int zoom, std::string_view layer_name) {
    const LayerConfig* layer = LAYER_CONFIG.find(layer_name);
    const int min_zoom = layer ? layer->min_zoom_or_zero() : 0;
    if (zoom < min_zoom)
        return std::nullopt;
    const Band* band = &kBands.back();
    for (const auto& candidate : kBands) {
        if (zoom <= candidate.upper_zoom) {
            band = &candidate;
            break;
        }
    }
    return ZoomConfig{band->tolerance, band->feature_limit, band->buffer,
                      band->long_lived ? CACHE_TTL_LONG : CACHE_TTL_SHORT};
}

}  // namespace tileway
