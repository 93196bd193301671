// GET /gis/{layer}/ against the shared database and the program's own Redis: the payload and
// its suggested tile, answers from the cache, a corrupted entry ignored and replaced, and an
// unknown layer.
#include "harness.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace kavara::test::tileway {
namespace {

class Centroid : public ::testing::Test {
  protected:
    void SetUp() override {
        load_app({program_redis().port(), database_url()});
        redis_.del(kKey);
    }

    static constexpr const char* kKey = "mvt_v8:centroid:plots";
    RedisInspector redis_{program_redis().port()};
};

std::vector<std::string> keys_of(const nlohmann::ordered_json& object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); it != object.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

// The planner's estimate of the plot table's extent, as {xmin, ymin, xmax, ymax}.
std::vector<double> estimated_plot_extent() {
    auto rows = sql(R"(SELECT concat_ws(' ', ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e))
                       FROM (SELECT ST_EstimatedExtent('GIS', 'PLOT', 'GEOMETRY') AS e) AS x)");
    std::vector<double> extent(4);
    std::sscanf(rows.at(0).c_str(), "%lf %lf %lf %lf", &extent[0], &extent[1], &extent[2],
                &extent[3]);
    return extent;
}

TEST_F(Centroid, ThePayloadDescribesTheLayerAndSuggestsTheTileAtItsCentre) {
    auto response = get("/gis/plots/", std::nullopt);
    ASSERT_EQ(response.status, 200u) << response.body.view();
    // The body's key order is part of the answer, so it is read with its order kept.
    const auto body = nlohmann::ordered_json::parse(response.body.view());
    EXPECT_EQ(body["success"], true);
    EXPECT_EQ(body["status_code"], 200);
    EXPECT_TRUE(body["message"].is_null());
    const auto& data = body["data"];
    EXPECT_EQ(keys_of(data), (std::vector<std::string>{
                                 "layer", "centroid_wgs84", "extent_web_mercator", "suggested_tile",
                                 "suggested_tile_bbox", "tile_url", "layer_config"}));
    EXPECT_EQ(data["layer"], "plots");

    const double lat = data["centroid_wgs84"]["latitude"];
    const double lon = data["centroid_wgs84"]["longitude"];
    EXPECT_TRUE(data["centroid_wgs84"]["latitude"].is_number_float());
    EXPECT_TRUE(data["centroid_wgs84"]["longitude"].is_number_float());
    EXPECT_GT(lon, 7.3);
    EXPECT_LT(lon, 7.6);
    EXPECT_GT(lat, 8.9);
    EXPECT_LT(lat, 9.2);

    const auto extent = estimated_plot_extent();
    const auto& mercator = data["extent_web_mercator"];
    EXPECT_EQ(keys_of(mercator), (std::vector<std::string>{"minx", "miny", "maxx", "maxy"}));
    EXPECT_DOUBLE_EQ(mercator["minx"].get<double>(), extent[0]);
    EXPECT_DOUBLE_EQ(mercator["miny"].get<double>(), extent[1]);
    EXPECT_DOUBLE_EQ(mercator["maxx"].get<double>(), extent[2]);
    EXPECT_DOUBLE_EQ(mercator["maxy"].get<double>(), extent[3]);

    const auto expected_tile = tile_at(lon, lat, 16);
    const auto& tile = data["suggested_tile"];
    EXPECT_EQ(tile["z"], 16);
    EXPECT_EQ(tile["x"], expected_tile.x);
    EXPECT_EQ(tile["y"], expected_tile.y);
    EXPECT_EQ(data["tile_url"],
              fmt::format("/gis/plots/16/{}/{}.pbf", expected_tile.x, expected_tile.y));
    const auto& tile_bbox = data["suggested_tile_bbox"];
    EXPECT_LE(tile_bbox["minx"].get<double>(), (extent[0] + extent[2]) / 2);
    EXPECT_GE(tile_bbox["maxx"].get<double>(), (extent[0] + extent[2]) / 2);

    EXPECT_EQ(data["layer_config"]["min_zoom"], 8);
    EXPECT_EQ(data["layer_config"]["properties"],
              (std::vector<std::string>{R"("ID")", R"("PLOT_NO")", R"("STATUS")",
                                        R"("AREA_SYSTEM")", R"("GENERAL_LU")", R"("CADZONE")",
                                        R"("DETAIL_LU")", R"("file_no")"}));

    // The suggested tile is served and holds plots.
    auto suggested = get(data["tile_url"].get<std::string>(), fresh_client());
    EXPECT_EQ(suggested.status, 200u);
}

TEST_F(Centroid, TheAnswerIsCachedForFourHoursAndServedFromTheCache) {
    auto first = get("/gis/plots/", std::nullopt);
    ASSERT_EQ(first.status, 200u);
    const auto payload = json_body(first)["data"];
    auto stored = redis_.get(kKey);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(nlohmann::json::parse(*stored), payload);
    EXPECT_GT(redis_.ttl(kKey), 14390);
    EXPECT_LE(redis_.ttl(kKey), 14400);

    // Whatever valid JSON the entry holds is the answer, so the database was not asked.
    redis_.set(kKey, R"({"layer":"plots","from":"the cache"})");
    auto cached = get("/gis/plots/", std::nullopt);
    EXPECT_EQ(cached.status, 200u);
    EXPECT_EQ(json_body(cached)["data"],
              nlohmann::json::parse(R"({"layer":"plots","from":"the cache"})"));
    EXPECT_EQ(json_body(cached)["success"], true);
}

TEST_F(Centroid, ACorruptedEntryIsIgnoredAndReplaced) {
    const auto payload = json_body(get("/gis/plots/", std::nullopt))["data"];
    for (const std::string& corrupted :
         {std::string("not json"), std::string("\xff\xfe{", 3), std::string("{\"layer\": ")}) {
        host::logging::Capture log;
        redis_.set(kKey, corrupted);
        auto response = get("/gis/plots/", std::nullopt);
        EXPECT_EQ(response.status, 200u);
        EXPECT_EQ(json_body(response)["data"], payload);
        auto replaced = redis_.get(kKey);
        ASSERT_TRUE(replaced.has_value());
        EXPECT_EQ(nlohmann::json::parse(*replaced), payload);
        EXPECT_TRUE(tileway_lines(log, spdlog::level::warn).empty());
        EXPECT_TRUE(tileway_lines(log, spdlog::level::err).empty());
    }
}

TEST_F(Centroid, AnUnknownLayerIs404AndNothingIsCached) {
    for (const char* layer : {"roads", "PLOTS"}) {
        auto response = get(fmt::format("/gis/{}/", layer), std::nullopt);
        EXPECT_EQ(response.status, 404u);
        EXPECT_EQ(detail(response), fmt::format("Layer '{}' not found", layer));
    }
    EXPECT_TRUE(redis_.keys("mvt_v8:centroid:*").empty());
}

TEST_F(Centroid, EveryLayerHasACentroidInTheSeededArea) {
    for (const char* layer : {"beacons", "cadzones", "districts", "lgas"}) {
        auto response = get(fmt::format("/gis/{}/", layer), std::nullopt);
        ASSERT_EQ(response.status, 200u) << layer << " " << response.body.view();
        const auto data = json_body(response)["data"];
        EXPECT_EQ(data["layer"], layer);
        EXPECT_NEAR(data["centroid_wgs84"]["longitude"].get<double>(), 7.45, 0.15) << layer;
        EXPECT_NEAR(data["centroid_wgs84"]["latitude"].get<double>(), 9.05, 0.15) << layer;
        redis_.del(fmt::format("mvt_v8:centroid:{}", layer));
    }
}

}  // namespace
}  // namespace kavara::test::tileway
