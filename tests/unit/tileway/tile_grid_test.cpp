// Web Mercator tile grid: bounds of z/x/y, the tile of a WGS84 point (rows from the north) and
// the tiles a rectangle touches.
#include "tileway/tile_grid.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using tileway::latlon_to_xyz;
using tileway::TileBounds;
using tileway::tiles_covering;
using tileway::xyz_to_bbox_web_mercator;

constexpr double kHalf = 20037508.342789244;

TEST(TileBounds, WholeWorldAndQuadrants) {
    auto world = xyz_to_bbox_web_mercator(0, 0, 0);
    EXPECT_DOUBLE_EQ(world.minx, -kHalf);
    EXPECT_DOUBLE_EQ(world.maxy, kHalf);
    auto north_west = xyz_to_bbox_web_mercator(1, 0, 0);
    EXPECT_DOUBLE_EQ(north_west.minx, -kHalf);
    EXPECT_DOUBLE_EQ(north_west.maxx, 0.0);
    EXPECT_DOUBLE_EQ(north_west.miny, 0.0);
    EXPECT_DOUBLE_EQ(north_west.maxy, kHalf);
    std::vector<std::string> keys;
    const auto published = tileway::to_json(north_west);
    for (auto& [k, v] : published.items())
        keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"minx", "miny", "maxx", "maxy"}));
}

TEST(TileBounds, NeighbouringTilesShareEdges) {
    auto a = xyz_to_bbox_web_mercator(14, 8801, 7940);
    auto b = xyz_to_bbox_web_mercator(14, 8802, 7940);
    auto c = xyz_to_bbox_web_mercator(14, 8801, 7941);
    EXPECT_DOUBLE_EQ(a.maxx, b.minx);
    EXPECT_DOUBLE_EQ(a.miny, c.maxy);
    EXPECT_NEAR(a.maxx - a.minx, 2 * kHalf / 16384, 1e-6);
}

TEST(PointToTile, KnownPlacesAndClamping) {
    EXPECT_EQ(latlon_to_xyz(9.05, 7.49, 16), (tileway::TileAddress{16, 34131, 31113}));
    EXPECT_EQ(latlon_to_xyz(0.0, 0.0, 1), (tileway::TileAddress{1, 1, 1}));
    // Beyond the Mercator latitude limit the first or last row is used.
    EXPECT_EQ(latlon_to_xyz(89.9, 180.0, 3), (tileway::TileAddress{3, 7, 0}));
    EXPECT_EQ(latlon_to_xyz(-90.0, -180.0, 3).y, 7);
}

TEST(PointToTile, TheTileContainsThePoint) {
    for (double lat : {-60.0, -8.5, 0.1, 9.05, 51.5}) {
        for (double lon : {-120.0, 0.3, 7.49, 151.2}) {
            auto t = latlon_to_xyz(lat, lon, 12);
            auto b = xyz_to_bbox_web_mercator(12, t.x, t.y);
            double mx = lon * kHalf / 180.0;
            double my = std::log(std::tan((90.0 + lat) * M_PI / 360.0)) * 6378137.0;
            EXPECT_LE(b.minx, mx);
            EXPECT_GE(b.maxx, mx);
            EXPECT_LE(b.miny, my + 1e-6);
            EXPECT_GE(b.maxy, my - 1e-6);
        }
    }
}

TEST(TilesCovering, RectanglesAgainstTheGrid) {
    const TileBounds tile = xyz_to_bbox_web_mercator(14, 8801, 7940);
    const double inset = 1.0;
    struct Case {
        const char* what;
        TileBounds rect;
        std::int64_t z, min_x, min_y, max_x, max_y;
    };
    const Case cases[] = {
        {"inside one tile",
         {tile.minx + inset, tile.miny + inset, tile.maxx - inset, tile.maxy - inset},
         14,
         8801,
         7940,
         8801,
         7940},
        {"a point",
         {tile.minx + 5, tile.miny + 5, tile.minx + 5, tile.miny + 5},
         14,
         8801,
         7940,
         8801,
         7940},
        {"exactly the tile: edges touch the eight neighbours", tile, 14, 8800, 7939, 8802, 7941},
        {"one zoom up",
         {tile.minx + inset, tile.miny + inset, tile.maxx - inset, tile.maxy - inset},
         13,
         4400,
         3970,
         4400,
         3970},
        {"clamped to the grid", {-3 * kHalf, -3 * kHalf, 3 * kHalf, 3 * kHalf}, 2, 0, 0, 3, 3},
    };
    for (const auto& c : cases) {
        auto range = tiles_covering(c.rect, c.z);
        EXPECT_EQ(range.min_x, c.min_x) << c.what;
        EXPECT_EQ(range.min_y, c.min_y) << c.what;
        EXPECT_EQ(range.max_x, c.max_x) << c.what;
        EXPECT_EQ(range.max_y, c.max_y) << c.what;
    }
    EXPECT_TRUE(tiles_covering({2 * kHalf, 0, 3 * kHalf, 1}, 5).empty());
    EXPECT_TRUE(tiles_covering({5, 5, 4, 6}, 5).empty());
    EXPECT_EQ(tiles_covering(tile, 14).count(), 9);
}

}  // namespace
