// kavara-tiles against the shared database and the test program's own Redis, next to the tile
// route loaded in-process on the same servers.
#include "harness.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace kavara::test::tileway {
namespace {

// Longitude and latitude of a tile corner by the Web Mercator tile scheme.
std::pair<double, double> corner(std::int64_t z, double x, double y) {
    const double n = std::ldexp(1.0, static_cast<int>(z));
    return {x / n * 360.0 - 180.0, std::atan(std::sinh(std::numbers::pi * (1.0 - 2.0 * y / n))) *
                                       180.0 / std::numbers::pi};
}

// "W,S,E,N" of a box well inside tile z/x/y, so that it touches that tile only.
std::string box_inside(const TileAddress& t) {
    const auto x = static_cast<double>(t.x), y = static_cast<double>(t.y);
    const auto [west, north] = corner(t.z, x + 0.25, y + 0.25);
    const auto [east, south] = corner(t.z, x + 0.75, y + 0.75);
    return fmt::format("{},{},{},{}", west, south, east, north);
}

TileAddress parent(TileAddress t, std::int64_t z) {
    const int up = static_cast<int>(t.z - z);
    return {z, t.x >> up, t.y >> up};
}

std::string key(const std::string& layer, const TileAddress& t) {
    return fmt::format("mvt_v8:{}:{}:{}:{}", layer, t.z, t.x, t.y);
}

class TilesCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        load_app({program_redis().port(), database_url()});
        redis_.del_matching("mvt_v8:*");
    }

    static CommandResult tiles(const std::string& arguments, const std::string& environment = "") {
        return shell(
            fmt::format("env REDIS_HOST=127.0.0.1 REDIS_PORT={} REDIS_DB=0 "
                        "DATABASE_URL='{}' {} {} {} 2>&1",
                        program_redis().port(), database_url(), environment,
                        (binary_dir() / "bin" / "kavara-tiles").string(), arguments));
    }

    RedisInspector redis_{program_redis().port()};
};

TEST_F(TilesCommand, SeededTilesAreTheRoutesBytesStoredForTheBandsTime) {
    const TileAddress z14 = tile_with_plots(14);
    const CommandResult seeded =
        tiles("seed --layer plots --zooms 8-14 --concurrency 3 --bbox " + box_inside(z14));
    ASSERT_EQ(seeded.status, 0) << seeded.out;
    EXPECT_NE(seeded.out.find("seeded plots z8-z14: 7 tiles built, 0 empty, 0 failed, "),
              std::string::npos)
        << seeded.out;

    struct Band {
        std::int64_t z;
        std::int64_t ttl;
    };
    for (const Band band : {Band{8, 7200}, Band{10, 7200}, Band{11, 1800}, Band{14, 1800}}) {
        SCOPED_TRACE(band.z);
        const TileAddress tile = parent(z14, band.z);
        const auto stored = redis_.get(key("plots", tile));
        ASSERT_TRUE(stored.has_value());
        EXPECT_NEAR(static_cast<double>(redis_.ttl(key("plots", tile))),
                    static_cast<double>(band.ttl), 2.0);

        const std::string path = "/gis/plots/" + tile.path() + ".pbf";
        EXPECT_EQ(get(path, fresh_client()).header("X-Cache"), "HIT");

        redis_.del(key("plots", tile));
        const auto built = get(path, fresh_client());
        ASSERT_EQ(built.status, 200);
        EXPECT_EQ(built.header("X-Cache"), "");
        EXPECT_TRUE(built.body.view() == *stored) << "seeded and route-built tiles differ";
    }
}

TEST_F(TilesCommand, EmptyTilesAreCountedButNotStored) {
    const CommandResult seeded =
        tiles("seed --layer plots --zooms 12-13 --bbox -30.45,-40.45,-30.449,-40.449");
    ASSERT_EQ(seeded.status, 0) << seeded.out;
    EXPECT_NE(seeded.out.find("seeded plots z12-z13: 0 tiles built, 2 empty, 0 failed, 0 bytes"),
              std::string::npos)
        << seeded.out;
    EXPECT_TRUE(redis_.keys("mvt_v8:*").empty());
}

TEST_F(TilesCommand, PurgeDeletesItsLayerZoomsAndBoxOnly) {
    const TileAddress z10 = tile_with_plots(10);
    struct Case {
        std::string key;
        bool purged;
    };
    const std::vector<Case> cases{
        {key("plots", parent(z10, 8)), true},
        {key("plots", parent(z10, 9)), true},
        {key("plots", z10), true},
        {"mvt_v8:gz:" + key("plots", z10).substr(7), true},  // its gzip entry goes with it
        {key("plots", {10, z10.x + 1, z10.y}), false},       // outside the box
        {key("plots", {11, 2 * z10.x, 2 * z10.y}), false},   // inside it, past the zooms
        {key("beacons", z10), false},                        // another layer
        {"mvt_v8:bbox:plots:1:2:3:4:5000:False", false},
        {"mvt_v8:centroid:plots", false},
    };
    for (const auto& c : cases)
        redis_.set(c.key, "tile");

    // Zooms 6 and 7 hold no plots tiles (the layer starts at 8), so they add no key.
    const CommandResult purged =
        tiles("purge --layer plots --zooms 6-10 --bbox " + box_inside(z10));
    ASSERT_EQ(purged.status, 0) << purged.out;
    EXPECT_NE(purged.out.find("purged plots z6-z10: 4 keys deleted of 3 tiles covered"),
              std::string::npos)
        << purged.out;
    for (const auto& c : cases)
        EXPECT_EQ(redis_.exists(c.key), !c.purged) << c.key;
}

TEST_F(TilesCommand, BadArgumentsExitWithUsageStatusAndSayWhy) {
    struct Case {
        std::string arguments;
        std::string environment;
        std::string message;
    };
    const std::vector<Case> cases{
        {"", "", "no command given"},
        {"frobnicate --layer plots", "", "unknown command 'frobnicate'"},
        {"seed --layer plots", "", "seed needs --zooms"},
        {"seed --layer nowhere --zooms 8", "", "unknown layer 'nowhere'"},
        {"seed --layer plots --zooms 8-21", "", "--zooms must be from 1 to 20, not '21'"},
        {"seed --layer plots --zooms 14-8", "", "the first zoom is above the last"},
        {"seed --layer plots --zooms=8x", "", "--zooms needs a number, not '8x'"},
        {"seed --layer plots --zooms 8 --bbox 1,2,3", "", "--bbox needs W,S,E,N"},
        {"seed --layer plots --zooms 8 --bbox nan,2,3,4", "", "--bbox must be from -180 to 180"},
        {"seed --layer plots --zooms 8 --bbox 3,2,1,4", "", "west must not exceed east"},
        {"seed --layer plots --zooms 8 --concurrency 0", "", "--concurrency must be from 1 to 64"},
        {"purge --layer plots --concurrency 2", "", "unknown option '--concurrency'"},
        {"seed --layer plots --zooms 8", "REDIS_PORT=70000", "REDIS_PORT must be from 0 to 65535"},
        {"seed --layer plots --zooms 8", "DATABASE_URL=", "DATABASE_URL is not set"},
    };
    for (const auto& c : cases) {
        const CommandResult result = tiles(c.arguments, c.environment);
        EXPECT_EQ(result.status, 2) << c.arguments;
        EXPECT_NE(result.out.find(c.message), std::string::npos) << c.arguments << "\n"
                                                                 << result.out;
        EXPECT_NE(result.out.find("usage: kavara-tiles"), std::string::npos) << c.arguments;
    }
}

}  // namespace
}  // namespace kavara::test::tileway
