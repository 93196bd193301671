// The program's own Redis stopped and stalled under a running service: tiles are still served
// from the database with one warning per failed step, the health check turns unhealthy within
// its limit, cache reads give up after theirs, invalidation reports nothing deleted, and all
// is well again once Redis is back.
#include "scratch_servers.hpp"

#include "tileway/cache.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace kavara::test::tileway {
namespace {

using spdlog::level::err;
using spdlog::level::warn;

class RedisDown : public ::testing::Test {
  protected:
    void SetUp() override { load_faults_app(); }
    void TearDown() override {
        program_redis().resume();
        program_redis().start();
    }

    host::logging::Capture log_;
};

std::size_t count_starting(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const auto& l) { return l.rfind(prefix, 0) == 0; }));
}

TEST_F(RedisDown, TilesAreBuiltFromTheDatabaseWithOneWarningPerFailedStep) {
    const auto tile = tile_with_plots(14);
    const auto target = "/gis/plots/" + tile.path() + ".pbf";
    const auto key = "plots:" + std::to_string(tile.z) + ":" + std::to_string(tile.x) + ":" +
                     std::to_string(tile.y);
    program_redis().stop();

    std::optional<host::Bytes> first_body;
    for (int i = 0; i < 2; ++i) {
        auto response = get(target, fresh_client());
        ASSERT_EQ(response.status, 200u) << response.body.view();
        EXPECT_EQ(response.header("X-Cache"), "");
        EXPECT_FALSE(response.body.empty());
        if (first_body) {
            EXPECT_EQ(response.body, *first_body);
        }
        first_body = response.body;
    }
    const auto lines = tileway_lines(log_, warn);
    // Besides the start-up warning of the service, when this test loads it.
    EXPECT_EQ(lines.size() - count_starting(lines, "No admin token is set"), 6u);
    EXPECT_EQ(count_starting(lines, "Rate limit check failed: "), 2u);
    EXPECT_EQ(count_starting(lines, "Cache get failed for " + key + ": "), 2u);
    EXPECT_EQ(count_starting(lines, "Cache set failed for " + key + ": "), 2u);

    // The bounding-box limiter fails open without a word; only the cache speaks.
    log_.clear();
    auto bbox = get("/gis/plots/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06", fresh_client());
    EXPECT_EQ(bbox.status, 200u);
    EXPECT_EQ(bbox.header("X-Cache"), "MISS");
    const auto bbox_lines = tileway_lines(log_, warn);
    EXPECT_EQ(count_starting(bbox_lines, "Rate limit"), 0u);
    EXPECT_EQ(count_starting(bbox_lines, "Cache get failed for bbox:plots:"), 1u);
    EXPECT_EQ(count_starting(bbox_lines, "Cache set failed for bbox:plots:"), 1u);

    // Back up: the same service caches again.
    program_redis().start();
    ASSERT_EQ(get(target, fresh_client()).status, 200u);
    auto hit = get(target, fresh_client());
    EXPECT_EQ(hit.header("X-Cache"), "HIT");
    EXPECT_EQ(hit.body, *first_body);
}

TEST_F(RedisDown, HealthTurnsUnhealthyWithinItsLimitAndBackAgain) {
    program_redis().stop();
    auto start = std::chrono::steady_clock::now();
    auto down = get("/gis/health/", std::nullopt);
    EXPECT_LT(seconds_since(start), 2.5);
    EXPECT_EQ(down.status, 200u);
    EXPECT_EQ(json_body(down)["status"], "healthy");
    EXPECT_EQ(json_body(down)["cache_status"], "unhealthy");

    program_redis().start();
    program_redis().pause();
    start = std::chrono::steady_clock::now();
    auto stalled = get("/gis/health/", std::nullopt);
    const double waited = seconds_since(start);
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 3.0);
    EXPECT_EQ(json_body(stalled)["cache_status"], "unhealthy");

    program_redis().resume();
    EXPECT_EQ(json_body(get("/gis/health/", std::nullopt))["cache_status"], "healthy");
    EXPECT_TRUE(tileway_lines(log_, warn).empty()) << "the probe logs nothing";
}

TEST_F(RedisDown, CacheCallsNeverFailAndWarnOncePerCall) {
    program_redis().stop();
    for (int i = 0; i < 3; ++i)
        EXPECT_FALSE(run(service()->safe_cache_get("plots:1:2:3")).has_value());
    run(service()->safe_cache_set("plots:1:2:3", host::Bytes(std::string("tile")), 60));
    auto lines = tileway_lines(log_, warn);
    EXPECT_EQ(lines.size(), 4u);
    EXPECT_EQ(count_starting(lines, "Cache get failed for plots:1:2:3: "), 3u);
    EXPECT_EQ(count_starting(lines, "Cache set failed for plots:1:2:3: "), 1u);
}

TEST_F(RedisDown, AStalledReadGivesUpAfterItsLimitAndTheConnectionRecovers) {
    RedisInspector redis(program_redis().port());
    redis.set("mvt_v8:plots:1:2:3", "tile");
    program_redis().pause();
    for (double limit : {1.0, 0.3}) {
        log_.clear();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(run(service()->safe_cache_get("plots:1:2:3", limit)).has_value());
        const double waited = seconds_since(start);
        EXPECT_GE(waited, limit - 0.05);
        EXPECT_LT(waited, limit + 0.7);
        auto lines = tileway_lines(log_, warn);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].rfind("Cache get failed for plots:1:2:3: ", 0), 0u) << lines[0];
    }
    program_redis().resume();
    // The abandoned replies are read and dropped; the next read gets its own answer.
    auto value = run(service()->safe_cache_get("plots:1:2:3"));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->str(), "tile");
}

TEST_F(RedisDown, AStalledRedisDelaysATileByAQuarterOfASecondAtMost) {
    const auto tile = tile_with_plots(14);
    const auto target = "/gis/plots/" + tile.path() + ".pbf";
    const std::string degrees = "/gis/plots/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06";
    const std::string metres =
        "/gis/plots/bbox/?minx=828217&miny=1010530&maxx=830443&maxy=1012784&srid=3857";
    for (const auto& cached : {target, degrees, metres})
        ASSERT_EQ(get(cached, fresh_client()).status, 200u)
            << cached;  // cached while Redis answers
    program_redis().pause();
    // Cached tiles are rebuilt from the database; one that was never cached likewise. The bbox
    // limiter fails open without a word.
    struct Case {
        std::string path;
        std::size_t rate_warnings;
    };
    const std::vector<Case> cases{{target, 1},
                                  {"/gis/plots/" + tile_with_plots(15).path() + ".pbf", 1},
                                  {degrees, 0},
                                  {metres, 0}};
    for (const auto& c : cases) {
        log_.clear();
        std::vector<double> answered_after;
        auto response = get_concurrently({c.path}, fresh_client(), &answered_after).at(0);
        const double waited = answered_after.at(0);
        EXPECT_EQ(response.status, 200u) << c.path;
        EXPECT_LT(waited, 0.25 + 0.5) << c.path;  // the Redis budget, and the statement itself
        const auto lines = tileway_lines(log_, warn);
        EXPECT_EQ(count_starting(lines, "Rate limit check failed: "), c.rate_warnings) << c.path;
        EXPECT_EQ(count_starting(lines, "Cache get failed for "), 1u) << c.path;
        // The tile is written after the answer, under a limit of its own.
        EXPECT_EQ(count_starting(lines, "Cache set failed for "), 1u) << c.path;
    }
    program_redis().resume();
    EXPECT_EQ(get(target, fresh_client()).header("X-Cache"), "HIT");
}

TEST_F(RedisDown, InvalidationReportsNothingDeletedAndLogsOneError) {
    program_redis().stop();
    struct Case {
        const char* target;
        const char* message;
        const char* error_start;
    };
    for (const Case c :
         {Case{"/gis/cache/invalidate/plots",
               "Cache for layer 'plots' invalidated successfully. 0 keys deleted.",
               "Background task failed to invalidate cache for layer 'plots': "},
          Case{"/gis/cache/invalidate/all", "All cache invalidated successfully. 0 keys deleted.",
               "Background task failed to invalidate all cache: "}}) {
        log_.clear();
        auto response = post(c.target, std::nullopt);
        EXPECT_EQ(response.status, 200u) << c.target;
        const auto body = json_body(response);
        EXPECT_EQ(body["success"], true);
        EXPECT_EQ(body["message"], c.message);
        EXPECT_EQ(body["data"]["deleted_count"], 0);
        auto lines = tileway_lines(log_, err);
        ASSERT_EQ(lines.size(), 1u) << c.target;
        EXPECT_EQ(lines[0].rfind(c.error_start, 0), 0u) << lines[0];
    }
}

}  // namespace
}  // namespace kavara::test::tileway
