// What GET /gis/{layer}/{z}/{x}/{y}.pbf answers on the shared servers: 404 and 400 details,
// the 204 of a layer below its minimum zoom with its info lines, cache misses and hits with
// their headers by zoom band, and the 204 of an empty tile.
#include "harness.hpp"

#include <gtest/gtest.h>

namespace kavara::test::tileway {
namespace {

using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;

constexpr const char* kMvtMediaType = "application/vnd.mapbox-vector-tile";

std::string tile_target(const std::string& layer, const TileAddress& tile) {
    return "/gis/" + layer + "/" + tile.path() + ".pbf";
}

std::string cache_key_of(const std::string& layer, const TileAddress& tile) {
    return "mvt_v8:" + layer + ":" + std::to_string(tile.z) + ":" + std::to_string(tile.x) + ":" +
           std::to_string(tile.y);
}

class TileAnswers : public ::testing::Test {
  protected:
    void SetUp() override { load_app(shared_servers()); }

    RedisInspector redis_{shared_servers().redis_port};
    host::logging::Capture log_;
};

TEST_F(TileAnswers, UnknownLayersAndInvalidAddressesAreRefusedWithTheirDetails) {
    struct Case {
        const char* target;
        unsigned status;
        const char* detail;
    };
    const Case cases[] = {
        {"/gis/roads/14/8801/7940.pbf", 404, "Layer 'roads' not found"},
        {"/gis/roads/21/0/0.pbf", 404, "Layer 'roads' not found"},  // the layer is checked first
        {"/gis/Plots/14/0/0.pbf", 404, "Layer 'Plots' not found"},
        {"/gis/plots/21/0/0.pbf", 400, "Invalid tile coordinates: z=21, x=0, y=0"},
        {"/gis/plots/0/0/0.pbf", 400, "Invalid tile coordinates: z=0, x=0, y=0"},
        {"/gis/plots/3/8/0.pbf", 400, "Invalid tile coordinates: z=3, x=8, y=0"},
        {"/gis/plots/3/0/8.pbf", 400, "Invalid tile coordinates: z=3, x=0, y=8"},
        {"/gis/plots/5/-1/0.pbf", 400, "Invalid tile coordinates: z=5, x=-1, y=0"},
        {"/gis/lgas/1/0/-1.pbf", 400, "Invalid tile coordinates: z=1, x=0, y=-1"},
    };
    for (const auto& c : cases) {
        auto response = get(c.target, fresh_client());
        EXPECT_EQ(response.status, c.status) << c.target;
        EXPECT_EQ(detail(response), c.detail) << c.target;
    }
    EXPECT_TRUE(tileway_lines(log_, info).empty());
    EXPECT_TRUE(tileway_lines(log_, warn).empty());
    EXPECT_TRUE(tileway_lines(log_, err).empty());
}

TEST_F(TileAnswers, ALayerBelowItsMinimumZoomIsAnEmpty204WithItsInfoLines) {
    struct Case {
        const char* target;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"/gis/plots/5/10/10.pbf",
         {"Layer plots not available at zoom 5: Layer plots not available at zoom level 5",
          "Try these layers at zoom 5: ['cadzones', 'districts', 'lgas']"}},
        {"/gis/cadzones/2/1/1.pbf",
         {"Layer cadzones not available at zoom 2: Layer cadzones not available at zoom level 2",
          "Try these layers at zoom 2: ['lgas']"}},
        // Nothing is served at zoom 1, so there is nothing to suggest.
        {"/gis/lgas/1/0/0.pbf",
         {"Layer lgas not available at zoom 1: Layer lgas not available at zoom level 1"}},
        // Above zoom 6 no other layers are suggested.
        {"/gis/beacons/9/266/246.pbf",
         {"Layer beacons not available at zoom 9: Layer beacons not available at zoom level 9"}},
    };
    for (const auto& c : cases) {
        log_.clear();
        auto response = get(c.target, fresh_client());
        EXPECT_EQ(response.status, 204u) << c.target;
        EXPECT_TRUE(response.body.empty()) << c.target;
        EXPECT_TRUE(response.headers.empty()) << c.target;
        EXPECT_EQ(tileway_lines(log_, info), c.lines) << c.target;
    }
    EXPECT_TRUE(redis_.keys("mvt_v8:plots:5:10:10").empty());
}

struct BandCase {
    std::int64_t z;
    const char* cache_control;
    std::int64_t ttl;
};

class TileCacheBands : public TileAnswers, public ::testing::WithParamInterface<BandCase> {};

TEST_P(TileCacheBands, AMissIsBuiltAndStoredAndTheNextRequestIsAHit) {
    const auto [z, cache_control, ttl] = GetParam();
    const auto tile = tile_with_plots(z);
    const auto key = cache_key_of("plots", tile);
    redis_.del(key);

    auto miss = get(tile_target("plots", tile), fresh_client());
    ASSERT_EQ(miss.status, 200u) << detail(miss);
    EXPECT_EQ(miss.media_type, kMvtMediaType);
    EXPECT_EQ(miss.header("Cache-Control"), "");
    EXPECT_EQ(miss.header("X-Cache"), "");
    ASSERT_FALSE(miss.body.empty());
    EXPECT_EQ(redis_.get(key), miss.body.str());  // stored after the answer, settled by get
    EXPECT_GT(redis_.ttl(key), ttl - 10);
    EXPECT_LE(redis_.ttl(key), ttl);

    auto hit = get(tile_target("plots", tile), fresh_client());
    ASSERT_EQ(hit.status, 200u);
    EXPECT_EQ(hit.media_type, kMvtMediaType);
    EXPECT_EQ(hit.header("Cache-Control"), cache_control);
    EXPECT_EQ(hit.header("X-Cache"), "HIT");
    EXPECT_EQ(hit.body, miss.body);
    EXPECT_TRUE(tileway_lines(log_, warn).empty());
    EXPECT_TRUE(tileway_lines(log_, err).empty());
}

TEST_P(TileCacheBands, AHitAnswersWithTheStoredBytesWhateverTheyAre) {
    const auto tile = tile_with_plots(GetParam().z);
    const auto key = cache_key_of("plots", tile);
    const std::string stored("\x1a\x00\r\n\xff not really a tile", 22);
    redis_.set(key, stored);
    auto hit = get(tile_target("plots", tile), fresh_client());
    EXPECT_EQ(hit.status, 200u);
    EXPECT_EQ(hit.header("X-Cache"), "HIT");
    EXPECT_EQ(hit.body.str(), stored);
    redis_.del(key);
}

INSTANTIATE_TEST_SUITE_P(ByZoomBand, TileCacheBands,
                         ::testing::Values(BandCase{14, "public, max-age=1800", 1800},
                                           BandCase{9, "public, max-age=7200", 7200}),
                         [](const auto& band) { return "z" + std::to_string(band.param.z); });

TEST_F(TileAnswers, AnEmptyStoredValueIsAMissAndIsReplaced) {
    const auto tile = tile_with_plots(13);
    const auto key = cache_key_of("plots", tile);
    redis_.set(key, "");
    auto response = get(tile_target("plots", tile), fresh_client());
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.header("X-Cache"), "");
    EXPECT_EQ(redis_.get(key), response.body.str());
    redis_.del(key);
}

TEST_F(TileAnswers, ATileWithoutFeaturesIs204WithItsInfoLineAndIsNeverStored) {
    const auto tile = tile_at(0.5, 0.5, 14);  // open sea, far from the seeded area
    const auto key = cache_key_of("plots", tile);
    redis_.del(key);
    const std::string line_start = "Empty tile generated for plots/" + tile.path() + " - bbox: ";
    for (int round = 1; round <= 2; ++round) {
        log_.clear();
        auto response = get(tile_target("plots", tile), fresh_client());
        EXPECT_EQ(response.status, 204u);
        EXPECT_TRUE(response.body.empty());
        EXPECT_TRUE(response.headers.empty());
        auto lines = tileway_lines(log_, info);
        ASSERT_EQ(lines.size(), 1u) << round;
        EXPECT_EQ(lines[0].rfind(line_start, 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find("minx"), std::string::npos) << lines[0];
        EXPECT_FALSE(redis_.exists(key));
    }
}

}  // namespace
}  // namespace kavara::test::tileway
