// Web Mercator tile grid: bounds of z/x/y and the tile of a WGS84 point, rows from the north.
#include "host/utils.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

constexpr double kHalf = 20037508.342789244;

TEST(TileBounds, WholeWorldAndQuadrants) {
    auto world = host::xyz_to_bbox_web_mercator(0, 0, 0);
    EXPECT_DOUBLE_EQ(world["minx"].get<double>(), -kHalf);
    EXPECT_DOUBLE_EQ(world["maxy"].get<double>(), kHalf);
    auto north_west = host::xyz_to_bbox_web_mercator(1, 0, 0);
    EXPECT_DOUBLE_EQ(north_west["minx"].get<double>(), -kHalf);
    EXPECT_DOUBLE_EQ(north_west["maxx"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(north_west["miny"].get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(north_west["maxy"].get<double>(), kHalf);
    std::vector<std::string> keys;
    for (auto& [k, v] : north_west.items())
        keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"minx", "miny", "maxx", "maxy"}));
}

TEST(TileBounds, NeighbouringTilesShareEdges) {
    auto a = host::xyz_to_bbox_web_mercator(14, 8801, 7940);
    auto b = host::xyz_to_bbox_web_mercator(14, 8802, 7940);
    auto c = host::xyz_to_bbox_web_mercator(14, 8801, 7941);
    EXPECT_DOUBLE_EQ(a["maxx"].get<double>(), b["minx"].get<double>());
    EXPECT_DOUBLE_EQ(a["miny"].get<double>(), c["maxy"].get<double>());
    EXPECT_NEAR(a["maxx"].get<double>() - a["minx"].get<double>(), 2 * kHalf / 16384, 1e-6);
}

TEST(PointToTile, KnownPlacesAndClamping) {
    auto abuja = host::latlon_to_xyz(9.05, 7.49, 16);
    EXPECT_EQ(abuja["z"], 16);
    EXPECT_EQ(abuja["x"], 34131);
    EXPECT_EQ(abuja["y"], 31113);
    auto origin = host::latlon_to_xyz(0.0, 0.0, 1);
    EXPECT_EQ(origin["x"], 1);
    EXPECT_EQ(origin["y"], 1);
    // Beyond the Mercator latitude limit the first or last row is used.
    EXPECT_EQ(host::latlon_to_xyz(89.9, 180.0, 3)["y"], 0);
    EXPECT_EQ(host::latlon_to_xyz(89.9, 180.0, 3)["x"], 7);
    EXPECT_EQ(host::latlon_to_xyz(-90.0, -180.0, 3)["y"], 7);
}

TEST(PointToTile, TheTileContainsThePoint) {
    for (double lat : {-60.0, -8.5, 0.1, 9.05, 51.5}) {
        for (double lon : {-120.0, 0.3, 7.49, 151.2}) {
            auto t = host::latlon_to_xyz(lat, lon, 12);
            auto b = host::xyz_to_bbox_web_mercator(12, t["x"], t["y"]);
            double mx = lon * kHalf / 180.0;
            double my = std::log(std::tan((90.0 + lat) * M_PI / 360.0)) * 6378137.0;
            EXPECT_LE(b["minx"].get<double>(), mx);
            EXPECT_GE(b["maxx"].get<double>(), mx);
            EXPECT_LE(b["miny"].get<double>(), my + 1e-6);
            EXPECT_GE(b["maxy"].get<double>(), my - 1e-6);
        }
    }
}

}  // namespace
