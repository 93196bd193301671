// Pure rules of the bounding-box endpoint: the cache key's rounding and the area measure.
#include "tileway/bbox.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/mvt_sql.hpp"
#include "tileway/tile_grid.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

using tileway::bbox_cache_key;

TEST(BboxCacheKey, WholeMetresHalvesToEvenNegativeZeroKept) {
    EXPECT_EQ(bbox_cache_key("plots", 2.5, 3.5, -0.4, 1234567.49, 5000, true),
              "bbox:plots:2:4:-0:1234567:5000:True");
    EXPECT_EQ(bbox_cache_key("lgas", -2.5, 0.5, 0.0, -0.0, 15000, false),
              "bbox:lgas:-2:0:0:-0:15000:False");
    // Values just off the half round to the nearest metre.
    EXPECT_EQ(bbox_cache_key("plots", 2.5000001, 835000.4999, 1, 2, 1, true),
              "bbox:plots:3:835000:1:2:1:True");
}

TEST(BboxCacheKey, RectanglesRoundingAlikeShareAKey) {
    EXPECT_EQ(bbox_cache_key("plots", 835000.2, 1010000.1, 836000.3, 1011000.4, 5000, true),
              bbox_cache_key("plots", 834999.8, 1010000.4, 836000.1, 1010999.6, 5000, true));
    EXPECT_NE(bbox_cache_key("plots", 1, 1, 2, 2, 5000, true),
              bbox_cache_key("plots", 1, 1, 2, 2, 5000, false));
}

// EPSG:3857 rectangles are not limited, so a coordinate can take hundreds of digits: each is
// written in full, and rectangles differing anywhere get distinct keys.
TEST(BboxCacheKey, HugeCoordinatesAreWrittenInFull) {
    const double huge[] = {1e300, std::nextafter(1e300, 0.0), 1e308, 1.7976931348623157e308,
                           123456789012345678901234567890.0};
    std::set<std::string> keys;
    for (double v : huge) {
        const auto key = bbox_cache_key("plots", -v, -v, v, v, 15000, false);
        ASSERT_TRUE(key.ends_with(":15000:False")) << key;
        std::vector<double> fields;
        for (auto at = key.find(':', 5); fields.size() < 4; at = key.find(':', at + 1))
            fields.push_back(std::strtod(key.c_str() + at + 1, nullptr));
        EXPECT_EQ(fields, (std::vector<double>{-v, -v, v, v})) << key;
        keys.insert(key);
    }
    EXPECT_EQ(keys.size(), std::size(huge));
}

TEST(BboxArea, AbsoluteProductOfTheSides) {
    EXPECT_DOUBLE_EQ(tileway::calculate_bbox_area_degrees(7.0, 9.0, 8.0, 10.0), 1.0);
    EXPECT_DOUBLE_EQ(tileway::calculate_bbox_area_degrees(8.0, 9.0, 7.0, 10.0), 1.0);
    EXPECT_DOUBLE_EQ(tileway::calculate_bbox_area_degrees(0, 0, 0, 5), 0.0);
}

TEST(TileAddress, ValidationAndTimeLimits) {
    EXPECT_TRUE(tileway::validate_tile_coords(1, 0, 0));
    EXPECT_TRUE(tileway::validate_tile_coords(20, (1 << 20) - 1, (1 << 20) - 1));
    EXPECT_FALSE(tileway::validate_tile_coords(0, 0, 0));
    EXPECT_FALSE(tileway::validate_tile_coords(21, 0, 0));
    EXPECT_FALSE(tileway::validate_tile_coords(3, 8, 0));
    EXPECT_FALSE(tileway::validate_tile_coords(3, 0, 8));
    EXPECT_FALSE(tileway::validate_tile_coords(3, -1, 0));
    EXPECT_EQ(tileway::tile_timeout(6), 10.0);
    EXPECT_EQ(tileway::tile_timeout(7), 12.0);
    EXPECT_EQ(tileway::tile_timeout(12), 15.0);
    EXPECT_EQ(tileway::tile_timeout(16), 20.0);
    EXPECT_EQ(tileway::tile_timeout(17), 30.0);
}

}  // namespace
