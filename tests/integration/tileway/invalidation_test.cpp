// Cache invalidation against the program's own Redis: the endpoint's scopes, counts and
// messages, and the scheduling functions that run the workers in the background.
#include "harness.hpp"

#include "host/runtime.hpp"
#include "tileway/invalidation.hpp"
#include "tileway/routes.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace kavara::test::tileway {
namespace {

using namespace std::chrono_literals;
using spdlog::level::debug;
using spdlog::level::err;
using spdlog::level::info;
using spdlog::level::warn;

constexpr const char* kValidLayers = "['plots', 'beacons', 'cadzones', 'districts', 'lgas']";

class Invalidation : public ::testing::Test {
  protected:
    void SetUp() override {
        load_app({program_redis().port(), database_url()});
        redis_.del_matching("mvt_v8:*");
    }

    // Three z/x/y tiles of plots, one of cadzones, one bounding box and one centroid, each
    // cached by its endpoint; every tile with its gzip entry, which its first hit adds.
    void cache_one_of_each_family() {
        std::vector<std::string> tiles;
        for (std::int64_t z : {12, 13, 14})
            tiles.push_back("/gis/plots/" + tile_with_plots(z).path() + ".pbf");
        tiles.push_back("/gis/cadzones/" + tile_with_plots(12).path() + ".pbf");
        tiles.push_back("/gis/plots/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06");
        for (const auto& target : tiles) {
            ASSERT_EQ(get(target, fresh_client()).status, 200u) << target;
            ASSERT_EQ(get(target, fresh_client()).status, 200u) << target;
        }
        ASSERT_EQ(get("/gis/plots/", std::nullopt).status, 200u);
        ASSERT_EQ(redis_.keys("mvt_v8:plots:*").size(), 3u);
        ASSERT_EQ(redis_.keys("mvt_v8:gz:plots:*").size(), 3u);
        ASSERT_EQ(redis_.keys("mvt_v8:*").size(), 11u);
    }

    RedisInspector redis_{program_redis().port()};
    host::logging::Capture log_;
};

// Runs the loop for a while, so that background tasks get their turn.
void run_loop_for(std::chrono::milliseconds duration) {
    run([duration]() -> host::awaitable<void> {
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
        co_await timer.async_wait(boost::asio::use_awaitable);
    }());
}

TEST_F(Invalidation, ALayerLosesItsTilesButKeepsBoundingBoxesAndCentroids) {
    cache_one_of_each_family();
    auto response = post("/gis/cache/invalidate/plots", std::nullopt);
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.body.view(),
              R"({"success":true,"status_code":200,)"
              R"("message":"Cache for layer 'plots' invalidated successfully. 6 keys deleted.",)"
              R"("data":{"layer":"plots","deleted_count":6}})");
    EXPECT_TRUE(redis_.keys("mvt_v8:plots:*").empty());
    EXPECT_TRUE(redis_.keys("mvt_v8:gz:plots:*").empty());
    EXPECT_EQ(redis_.keys("mvt_v8:gz:*").size(), 2u);  // of the cadzones tile and the box
    EXPECT_EQ(redis_.keys("mvt_v8:bbox:*").size(), 1u);
    EXPECT_TRUE(redis_.exists("mvt_v8:centroid:plots"));
    EXPECT_EQ(redis_.keys("mvt_v8:cadzones:*").size(), 1u);
    EXPECT_EQ(
        tileway_lines(log_, info),
        std::vector<std::string>{"Background task: Invalidated 6 cache entries for layer 'plots'"});

    auto again = post("/gis/cache/invalidate/plots", std::nullopt);
    EXPECT_EQ(json_body(again)["data"]["deleted_count"], 0);
    EXPECT_EQ(json_body(again)["message"],
              "Cache for layer 'plots' invalidated successfully. 0 keys deleted.");
}

TEST_F(Invalidation, AllDeletesEveryKeyOfTheNamespaceAndNothingElse) {
    cache_one_of_each_family();
    redis_.command({"SET", "rate_limit:gis:kept", "5", "EX", "60"});
    redis_.set("mvt_v7:plots:1:0:0", "an older namespace");

    auto response = post("/gis/cache/invalidate/all", std::nullopt);
    EXPECT_EQ(response.status, 200u);
    EXPECT_EQ(response.body.view(),
              R"({"success":true,"status_code":200,)"
              R"("message":"All cache invalidated successfully. 11 keys deleted.",)"
              R"("data":{"deleted_count":11}})");
    EXPECT_TRUE(redis_.keys("mvt_v8:*").empty());
    EXPECT_TRUE(redis_.exists("rate_limit:gis:kept"));
    EXPECT_TRUE(redis_.exists("mvt_v7:plots:1:0:0"));
    EXPECT_EQ(tileway_lines(log_, info),
              std::vector<std::string>{
                  "Background task: Invalidated ALL cache entries: 11 keys deleted"});
    redis_.del("rate_limit:gis:kept");
    redis_.del("mvt_v7:plots:1:0:0");
}

TEST_F(Invalidation, ANameOutsideTheCatalogueIs404AndDeletesNothing) {
    redis_.set("mvt_v8:plots:14:1:1", "tile");
    for (const char* name : {"All", "roads", "ALL", "plots*"}) {
        auto response = post(fmt::format("/gis/cache/invalidate/{}", name), std::nullopt);
        EXPECT_EQ(response.status, 404u) << name;
        EXPECT_EQ(detail(response),
                  fmt::format("Layer '{}' not found. Valid layers: {}", name, kValidLayers));
    }
    EXPECT_TRUE(redis_.exists("mvt_v8:plots:14:1:1"));
    EXPECT_EQ(get("/gis/cache/invalidate/plots", std::nullopt).status, 405u);
    EXPECT_TRUE(redis_.exists("mvt_v8:plots:14:1:1"));
}

TEST_F(Invalidation, ManyKeysAreDeletedAcrossScanPages) {
    for (int i = 0; i < 250; ++i)
        redis_.set(fmt::format("mvt_v8:lgas:9:{}:0", i), "tile");
    redis_.set("mvt_v8:lgasx:9:0:0", "another layer's prefix");
    auto response = post("/gis/cache/invalidate/lgas", std::nullopt);
    EXPECT_EQ(json_body(response)["data"]["deleted_count"], 250);
    EXPECT_TRUE(redis_.keys("mvt_v8:lgas:*").empty());
    EXPECT_TRUE(redis_.exists("mvt_v8:lgasx:9:0:0"));
}

std::shared_ptr<const ::tileway::Service> service_with_token(std::optional<std::string> token) {
    return std::make_shared<const ::tileway::Service>(
        ::tileway::Settings{
            .redis = {.redis_host = "127.0.0.1", .redis_port = program_redis().port()},
            .admin_token = std::move(token)},
        host::event_loop().get_executor());
}

TEST_F(Invalidation, AServiceWithoutAnAdminTokenWarnsOnceWhenCreated) {
    const std::optional<std::string> tokens[] = {std::nullopt, "", "s3cret"};
    for (const auto& token : tokens) {
        log_.clear();
        service_with_token(token);
        const auto expected = token && !token->empty()
                                  ? std::vector<std::string>{}
                                  : std::vector<std::string>{
                                        "No admin token is set (KAVARA_ADMIN_TOKEN): cache "
                                        "invalidation is open to every client"};
        EXPECT_EQ(tileway_lines(log_, warn), expected) << token.value_or("(none)");
    }
}

// With a token set, every invalidation asks for it as a bearer token before anything else is
// looked at, and deletes nothing when refused; the token never reaches the log.
TEST_F(Invalidation, AnAdminTokenIsAskedForBeforeAnythingElse) {
    host::http::App guarded;
    guarded.mount(::tileway::make_router(service_with_token("s3cret-token")));
    redis_.set("mvt_v8:plots:14:1:1", "tile");
    struct Case {
        const char* layer;
        std::optional<std::string> authorization;
        unsigned status;
    };
    const Case cases[] = {
        {"all", std::nullopt, 401},
        {"plots", std::nullopt, 401},
        {"roads", std::nullopt, 401},
        {"all", "Basic czNjcmV0LXRva2Vu", 401},
        {"all", "Bearer", 401},
        {"all", "Bearer   ", 401},
        {"all", "Bearers3cret-token", 401},
        {"all", "Bearer s3cret-toke", 403},
        {"all", "Bearer s3cret-token2", 403},
        {"all", "Bearer s3cret-tokem", 403},
        {"all", "Bearer S3CRET-TOKEN", 403},
        {"roads", "bearer s3cret-token", 404},
        {"plots", "Bearer  s3cret-token ", 200},
    };
    for (const auto& c : cases) {
        host::http::Headers headers;
        if (c.authorization)
            headers.emplace_back("authorization", *c.authorization);
        auto response =
            request(guarded, "POST", fmt::format("/gis/cache/invalidate/{}", c.layer), headers);
        const auto label = fmt::format("{} {}", c.layer, c.authorization.value_or("(none)"));
        EXPECT_EQ(response.status, c.status) << label;
        EXPECT_EQ(response.header("WWW-Authenticate"), c.status == 401 ? "Bearer" : "") << label;
        if (c.status == 401 || c.status == 403) {
            EXPECT_EQ(detail(response),
                      c.status == 401 ? "Admin token required" : "Invalid admin token")
                << label;
        }
        EXPECT_EQ(redis_.exists("mvt_v8:plots:14:1:1"), c.status != 200) << label;
    }
    for (const auto& record : log_.records())
        EXPECT_EQ(record.message.find("s3cret"), std::string::npos) << record.message;
}

class BackgroundInvalidation : public Invalidation {
  protected:
    void SetUp() override {
        Invalidation::SetUp();
        host::logging::configure(debug);
        for (const char* key : {"mvt_v8:plots:18:1:2", "mvt_v8:plots:18:3:4", "mvt_v8:plots:17:1:2",
                                "mvt_v8:plots:180:1:2", "mvt_v8:beacons:18:1:2"})
            redis_.set(key, "tile");
    }
    void TearDown() override { host::logging::configure(spdlog::level::info); }

    // Calls `schedule` on the loop and reports what was logged by the time it returned; then
    // lets the loop run until the worker's info line appears.
    std::vector<std::string> schedule_and_wait(const std::function<void()>& schedule) {
        std::vector<std::string> at_return;
        run([&]() -> host::awaitable<void> {
            schedule();
            for (const auto& r : log_.records())
                at_return.push_back(r.message);
            co_return;
        }());
        EXPECT_TRUE(eventually(
            [&] {
                run_loop_for(20ms);
                return !tileway_lines(log_, info).empty();
            },
            3s));
        return at_return;
    }
};

TEST_F(BackgroundInvalidation, APatternDeletesExactlyTheMatchingKeys) {
    const auto at_return =
        schedule_and_wait([] { ::tileway::invalidate_cache_by_pattern(service(), "plots:18:*"); });
    EXPECT_EQ(at_return, std::vector<std::string>{
                             "Scheduled background cache invalidation for pattern 'plots:18:*'"});
    EXPECT_EQ(tileway_lines(log_, info),
              std::vector<std::string>{
                  "Background task: Invalidated 2 cache entries matching pattern 'plots:18:*'"});
    EXPECT_EQ(redis_.keys("mvt_v8:*"),
              (std::vector<std::string>{"mvt_v8:beacons:18:1:2", "mvt_v8:plots:17:1:2",
                                        "mvt_v8:plots:180:1:2"}));
}

TEST_F(BackgroundInvalidation, ALayerIsScheduledAndReturnsBeforeAnythingIsDeleted) {
    const auto at_return =
        schedule_and_wait([] { ::tileway::invalidate_layer_cache(service(), "plots"); });
    EXPECT_EQ(at_return, std::vector<std::string>{
                             "Scheduled background cache invalidation for layer 'plots'"});
    EXPECT_EQ(
        tileway_lines(log_, info),
        std::vector<std::string>{"Background task: Invalidated 4 cache entries for layer 'plots'"});
    EXPECT_EQ(redis_.keys("mvt_v8:*"), std::vector<std::string>{"mvt_v8:beacons:18:1:2"});
}

TEST_F(BackgroundInvalidation, EverythingIsScheduledTheSameWay) {
    const auto at_return = schedule_and_wait([] { ::tileway::invalidate_all_cache(service()); });
    EXPECT_EQ(at_return,
              std::vector<std::string>{"Scheduled background cache invalidation for ALL layers"});
    EXPECT_EQ(
        tileway_lines(log_, info),
        std::vector<std::string>{"Background task: Invalidated ALL cache entries: 5 keys deleted"});
    EXPECT_TRUE(redis_.keys("mvt_v8:*").empty());
}

TEST_F(BackgroundInvalidation, OffTheEventLoopSchedulingThrowsAndSchedulesNothing) {
    EXPECT_THROW(::tileway::invalidate_layer_cache(service(), "plots"), std::logic_error);
    EXPECT_THROW(::tileway::invalidate_all_cache(service()), std::logic_error);
    EXPECT_THROW(::tileway::invalidate_cache_by_pattern(service(), "plots:18:*"), std::logic_error);
    run_loop_for(200ms);
    EXPECT_TRUE(log_.records().empty());
    EXPECT_EQ(redis_.keys("mvt_v8:*").size(), 5u);
}

}  // namespace
}  // namespace kavara::test::tileway
