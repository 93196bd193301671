// Zoom bands: which layers are served where and how coarse their tiles are.
#include "tileway/zoom_config.hpp"

#include <gtest/gtest.h>

namespace {

using tileway::get_zoom_config;
using tileway::ZoomConfig;

TEST(ZoomBands, BoundariesAreInclusive) {
    EXPECT_EQ(get_zoom_config(4, "lgas"), (ZoomConfig{1000, 2000, 512, 7200}));
    EXPECT_EQ(get_zoom_config(5, "lgas"), (ZoomConfig{500, 3000, 256, 7200}));
    EXPECT_EQ(get_zoom_config(8, "plots"), (ZoomConfig{250, 5000, 256, 7200}));
    EXPECT_EQ(get_zoom_config(10, "plots"), (ZoomConfig{100, 8000, 256, 7200}));
    EXPECT_EQ(get_zoom_config(11, "plots"), (ZoomConfig{50, 10000, 256, 1800}));
    EXPECT_EQ(get_zoom_config(14, "plots")->buffer, 64);
    EXPECT_EQ(get_zoom_config(15, "plots"), (ZoomConfig{0, 20000, 16, 1800}));
    EXPECT_EQ(get_zoom_config(16, "plots"), (ZoomConfig{0, 20000, 16, 1800}));
    EXPECT_EQ(get_zoom_config(17, "plots"), (ZoomConfig{0, 30000, 8, 1800}));
    EXPECT_EQ(get_zoom_config(20, "plots"), (ZoomConfig{0, 30000, 8, 1800}));
    EXPECT_EQ(get_zoom_config(25, "plots"), (ZoomConfig{0, 30000, 8, 1800}));
}

TEST(ZoomBands, LayersStartAtTheirMinimumZoom) {
    const std::vector<std::pair<std::string, int>> first_served{
        {"lgas", 2}, {"districts", 3}, {"cadzones", 4}, {"plots", 8}, {"beacons", 12}};
    for (const auto& [layer, first] : first_served) {
        EXPECT_FALSE(get_zoom_config(first - 1, layer)) << layer;
        EXPECT_TRUE(get_zoom_config(first, layer)) << layer;
    }
    EXPECT_EQ(get_zoom_config(12, "beacons"), (ZoomConfig{50, 10000, 256, 1800}));
}

TEST(ZoomBands, UnknownLayersAreServedEverywhere) {
    EXPECT_EQ(get_zoom_config(0, "roads"), (ZoomConfig{1000, 2000, 512, 7200}));
    EXPECT_FALSE(get_zoom_config(-3, "roads"));  // below the implied minimum of 0
}

}  // namespace
