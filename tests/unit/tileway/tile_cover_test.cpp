// The tiles a cover hands out: every tile of each served zoom once, in order, none of a zoom the
// layer is not served at, keys in batches across zooms; and degrees to EPSG:3857.
#include "tileway/tile_cover.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/zoom_config.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <tuple>

namespace tileway {
namespace {

// A rectangle from a quarter into tile z/x0/y0 (from its north-west corner) to three quarters
// into z/x1/y1: no edge lies on a grid line of this zoom or the next.
TileBounds between_tiles(std::int64_t z, std::int64_t x0, std::int64_t y0, std::int64_t x1,
                         std::int64_t y1) {
    const TileBounds a = xyz_to_bbox_web_mercator(z, x0, y0);
    const TileBounds b = xyz_to_bbox_web_mercator(z, x1, y1);
    const double size = a.maxx - a.minx;
    return {a.minx + size / 4, b.maxy - size * 3 / 4, b.minx + size * 3 / 4, a.maxy - size / 4};
}

TEST(LayerTileCover, HandsOutEachTileOfTheServedZoomsOnce) {
    struct Case {
        std::string layer;
        std::int64_t min_zoom, max_zoom;
        std::vector<std::int64_t> tiles_per_zoom;  // from min_zoom on
    };
    // Three columns by two rows at z10, six by four at z11.
    const TileBounds box = between_tiles(10, 540, 500, 542, 501);
    const std::vector<Case> cases{
        {"plots", 10, 11, {6, 24}},
        {"plots", 6, 10, {0, 0, 1, 2, 6}},                      // plots start at zoom 8
        {"beacons", 1, 11, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // beacons start at 12
        {"plots", 0, 0, {0}},
        {"plots", 11, 10, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layer + " " + std::to_string(c.min_zoom) + "-" + std::to_string(c.max_zoom));
        LayerTileCover cover(c.layer, box, c.min_zoom, c.max_zoom);
        std::vector<std::int64_t> per_zoom(c.tiles_per_zoom.size(), 0);
        std::set<std::tuple<std::int64_t, std::int64_t, std::int64_t>> seen;
        std::int64_t previous_z = 0;
        while (auto tile = cover.next()) {
            ASSERT_GE(tile->z, previous_z);
            previous_z = tile->z;
            ASSERT_TRUE(seen.emplace(tile->z, tile->x, tile->y).second) << "handed out twice";
            const TileRange range = tiles_covering(box, tile->z);
            EXPECT_TRUE(tile->x >= range.min_x && tile->x <= range.max_x &&
                        tile->y >= range.min_y && tile->y <= range.max_y);
            ++per_zoom.at(static_cast<std::size_t>(tile->z - c.min_zoom));
        }
        EXPECT_EQ(per_zoom, c.tiles_per_zoom);
        EXPECT_EQ(cover.size(), static_cast<std::int64_t>(seen.size()));
        EXPECT_FALSE(cover.next().has_value());
    }
}

TEST(LayerTileCover, KeysComeInBatchesAcrossZoomsAsTheRouteWritesThem) {
    LayerTileCover cover("plots", between_tiles(10, 540, 500, 542, 501), 10, 11);
    std::vector<std::string> keys;
    EXPECT_EQ(cover.next_keys(keys, 4), 4u);
    // Each tile's raw key, then its gzip copy's.
    EXPECT_EQ(keys[0], tile_cache_key("plots", 10, 540, 500));
    EXPECT_EQ(keys[1], "gz:" + keys[0]);
    EXPECT_EQ(cover.next_keys(keys, 100), 26u);
    EXPECT_EQ(keys[12], tile_cache_key("plots", 11, 1080, 1000));
    EXPECT_EQ(cover.next_keys(keys, 100), 0u);
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 60u);
    EXPECT_THROW(LayerTileCover("nowhere", {}, 1, 2), ValueError);
}

TEST(LayerTileCover, ClippingBufferMarginReachesTheNeighboursItIsDrawnIn) {
    struct Case {
        std::int64_t z;
        double gap_in_buffers;  // from the box's east side to the tile's east edge
        std::int64_t tiles;
    };
    const std::vector<Case> cases{{16, 0.5, 2}, {16, 2.0, 1}, {8, 0.5, 2}, {8, 2.0, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.z) + " " + std::to_string(c.gap_in_buffers));
        const TileBounds tile =
            xyz_to_bbox_web_mercator(c.z, 34124 >> (16 - c.z), 31113 >> (16 - c.z));
        const double side = tile.maxx - tile.minx;
        const double buffer = side * get_zoom_config(static_cast<int>(c.z), "plots")->buffer / 4096;
        const double east = tile.maxx - c.gap_in_buffers * buffer;
        const TileBounds box{east - side / 4, tile.miny + side / 4, east, tile.maxy - side / 4};
        EXPECT_EQ(LayerTileCover("plots", box, c.z, c.z, Margin::clipping_buffer).size(), c.tiles);
        EXPECT_EQ(LayerTileCover("plots", box, c.z, c.z).size(), 1);
    }
}

TEST(WebMercatorBounds, DegreesLandOnTheTileGrid) {
    // The corners of tile 14/8801/7940, in degrees by the tile scheme's inverse formulas.
    const double n = 1 << 14;
    auto lon = [&](double x) { return x / n * 360.0 - 180.0; };
    auto lat = [&](double y) {
        return std::atan(std::sinh(std::numbers::pi * (1 - 2 * y / n))) * 180.0 / std::numbers::pi;
    };
    const TileBounds got = web_mercator_bounds(lon(8801), lat(7941), lon(8802), lat(7940));
    const TileBounds want = xyz_to_bbox_web_mercator(14, 8801, 7940);
    EXPECT_NEAR(got.minx, want.minx, 1e-6);
    EXPECT_NEAR(got.miny, want.miny, 1e-6);
    EXPECT_NEAR(got.maxx, want.maxx, 1e-6);
    EXPECT_NEAR(got.maxy, want.maxy, 1e-6);
    // The poles clamp to the grid's edge instead of going to infinity.
    const TileBounds world = web_mercator_bounds(-180, -90, 180, 90);
    EXPECT_NEAR(world.maxy, xyz_to_bbox_web_mercator(1, 0, 0).maxy, 1e-6);
    EXPECT_NEAR(world.miny, -world.maxy, 1e-6);
}

}  // namespace
}  // namespace tileway
