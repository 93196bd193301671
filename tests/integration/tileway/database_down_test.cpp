// The program's own PostgreSQL stopped under a running service: the database-backed routes
// answer with their database errors, and once the server is back they work again without a
// restart of the service.
#include "scratch_servers.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace kavara::test::tileway {
namespace {

using spdlog::level::err;

class DatabaseDown : public ::testing::Test {
  protected:
    void SetUp() override {
        load_faults_app();
        redis_.del_matching("mvt_v8:*");
    }
    void TearDown() override { program_cluster().start(); }

    RedisInspector redis_{program_redis().port()};
    host::logging::Capture log_;
};

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
}

TEST_F(DatabaseDown, RequestsFailWithDatabaseErrorsAndSucceedOnceTheServerIsBack) {
    const auto tile = tile_with_plots(14);
    const auto target = "/gis/plots/" + tile.path() + ".pbf";
    const auto key = "mvt_v8:plots:" + std::to_string(tile.z) + ":" + std::to_string(tile.x) + ":" +
                     std::to_string(tile.y);
    // Twelve tiles at once leave every connection of the pool open and idle, for the stop to
    // break.
    std::vector<std::string> neighbours;
    for (std::int64_t dx = 0; dx < 4; ++dx)
        for (std::int64_t dy = 0; dy < 3; ++dy)
            neighbours.push_back(fmt::format("/gis/plots/17/{}/{}.pbf", tile_with_plots(17).x + dx,
                                             tile_with_plots(17).y + dy));
    for (const auto& answer : get_concurrently(neighbours, fresh_client()))
        ASSERT_LT(answer.status, 300u) << answer.body.view();
    ASSERT_GE(std::stoi(sql("SELECT count(*) FROM pg_stat_activity "
                            "WHERE application_name = 'kavara'")
                            .at(0)),
              2);
    auto before = get(target, fresh_client());
    ASSERT_EQ(before.status, 200u);
    ASSERT_EQ(get("/gis/plots/", std::nullopt).status, 200u);
    redis_.del_matching("mvt_v8:*");

    program_cluster().stop();
    log_.clear();
    auto tile_down = get(target, fresh_client());
    EXPECT_EQ(tile_down.status, 500u);
    EXPECT_EQ(detail(tile_down), "Database error");
    auto centroid_down = get("/gis/plots/", std::nullopt);
    EXPECT_EQ(centroid_down.status, 500u);
    EXPECT_EQ(detail(centroid_down), "Database error");
    auto bbox_down =
        get("/gis/plots/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06", fresh_client());
    EXPECT_EQ(bbox_down.status, 500u);
    EXPECT_EQ(detail(bbox_down), "Internal server error");
    auto lines = tileway_lines(log_, err);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(starts_with(lines[0], "Database error for tile plots/" + tile.path() + ": "))
        << lines[0];
    EXPECT_TRUE(starts_with(lines[1], "Error calculating centroid for plots: ")) << lines[1];
    EXPECT_TRUE(starts_with(lines[2], "Error generating bbox tile for plots: ")) << lines[2];
    EXPECT_FALSE(redis_.exists(key));
    EXPECT_FALSE(redis_.exists("mvt_v8:centroid:plots"));

    program_cluster().start();
    redis_.del_matching("mvt_v8:*");
    for (const auto& answer : get_concurrently(neighbours, fresh_client()))
        EXPECT_LT(answer.status, 300u) << answer.body.view();
    auto after = get(target, fresh_client());
    EXPECT_EQ(after.status, 200u) << after.body.view();
    EXPECT_EQ(after.body, before.body);
    EXPECT_EQ(get("/gis/plots/", std::nullopt).status, 200u);
    EXPECT_EQ(
        get("/gis/plots/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06", fresh_client()).status,
        200u);
}

// A tile statement the database refuses (a column the catalogue names is gone) is 500 with the
// endpoint's detail and error line, and nothing is cached; the aborted transaction is rolled
// back and the session's connection serves the next request once the column is back.
TEST_F(DatabaseDown, ATileStatementTheDatabaseRefusesIs500) {
    const auto tile = tile_with_plots(8);
    struct Case {
        std::string target, detail, line_start;
    };
    const Case cases[] = {
        {"/gis/lgas/" + tile.path() + ".pbf", "Database error",
         "Database error for tile lgas/" + tile.path() + ": "},
        {"/gis/lgas/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06", "Internal server error",
         "Error generating bbox tile for lgas: "},
    };
    for (const auto& c : cases) {
        log_.clear();
        redis_.del_matching("mvt_v8:*");
        sql(R"(ALTER TABLE "GIS"."LGAs" RENAME COLUMN "name" TO "title")");
        auto refused = get(c.target, fresh_client());
        sql(R"(ALTER TABLE "GIS"."LGAs" RENAME COLUMN "title" TO "name")");
        EXPECT_EQ(refused.status, 500u) << c.target;
        EXPECT_EQ(detail(refused), c.detail);
        const auto lines = tileway_lines(log_, err);
        ASSERT_EQ(lines.size(), 1u) << c.target;
        EXPECT_TRUE(starts_with(lines[0], c.line_start)) << lines[0];
        EXPECT_NE(lines[0].find("name"), std::string::npos) << lines[0];
        EXPECT_TRUE(redis_.keys("mvt_v8:*").empty()) << c.target;

        EXPECT_EQ(get(c.target, fresh_client()).status, 200u) << c.target;
    }
    EXPECT_EQ(sql("SELECT count(*) FROM pg_stat_activity "
                  "WHERE application_name = 'kavara' AND state LIKE 'idle in transaction%'"),
              std::vector<std::string>{"0"});
}

// No estimate of a table's extent (an empty table that was never analysed) is no error: the
// centroid endpoint answers its 404 envelope and caches nothing.
TEST(CentroidWithoutEstimate, IsThe404EnvelopeAndNothingIsCached) {
    load_faults_app();
    RedisInspector redis(program_redis().port());
    host::logging::Capture log;
    // ANALYZE of an emptied table keeps the old statistics, so they are dropped by hand.
    sql(R"(TRUNCATE "GIS"."BEACON")");
    sql(R"(DELETE FROM pg_statistic WHERE starelid = '"GIS"."BEACON"'::regclass)");
    auto response = get("/gis/beacons/", std::nullopt);
    EXPECT_EQ(response.status, 404u);
    EXPECT_EQ(response.body.view(),
              R"({"success":false,"status_code":404,)"
              R"("message":"No valid geometry found for layer 'beacons'","data":null})");
    EXPECT_FALSE(redis.exists("mvt_v8:centroid:beacons"));
    EXPECT_TRUE(tileway_lines(log, err).empty());
}

}  // namespace
}  // namespace kavara::test::tileway
