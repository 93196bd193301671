// The tile cache against a real Redis of the program's own: namespaced keys, bytes in and out
// unchanged, an empty value versus a miss, the TTL sent, a refused TTL, and the health probe.
#include "harness.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "tileway/cache.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace kavara::test::tileway {
namespace {

using spdlog::level::warn;

class TileCache : public ::testing::Test {
  protected:
    void SetUp() override {
        load_app({program_redis().port(), database_url()});
        redis_.del_matching("mvt_v8:*");
    }

    static const ::tileway::BinaryRedisCache& cache() { return service()->cache(); }

    RedisInspector redis_{program_redis().port()};
    host::logging::Capture log_;
};

TEST_F(TileCache, KeysAreNamespacedAndUsedUnchanged) {
    EXPECT_EQ(cache()._make_key("plots:3:4:5"), "mvt_v8:plots:3:4:5");
    const ::tileway::BinaryRedisCache plain(service()->redis_client());
    EXPECT_EQ(plain._make_key("plots:3:4:5"), "mvt:plots:3:4:5");

    run(cache().set("plots:3:4:5", host::Bytes(std::string("tile"))));
    run(plain.set("plots:3:4:5", host::Bytes(std::string("other"))));
    EXPECT_EQ(redis_.get("mvt_v8:plots:3:4:5"), "tile");
    EXPECT_EQ(redis_.get("mvt:plots:3:4:5"), "other");
    run(cache().del("plots:3:4:5"));
    EXPECT_FALSE(redis_.exists("mvt_v8:plots:3:4:5"));
    EXPECT_TRUE(redis_.exists("mvt:plots:3:4:5"));
    redis_.del("mvt:plots:3:4:5");
}

TEST_F(TileCache, BytesTravelUnchangedAndTheDefaultTtlIsAnHour) {
    const std::string bytes("\x1a\x00\r\n\xff\xfe\x80 tile", 12);
    run(cache().set("plots:9:1:2", host::Bytes(bytes)));
    EXPECT_EQ(redis_.get("mvt_v8:plots:9:1:2"), bytes);
    EXPECT_GE(redis_.ttl("mvt_v8:plots:9:1:2"), 3595);
    EXPECT_LE(redis_.ttl("mvt_v8:plots:9:1:2"), 3600);
    auto read = run(cache().get("plots:9:1:2"));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->str(), bytes);
    auto safe = run(service()->safe_cache_get("plots:9:1:2"));
    ASSERT_TRUE(safe.has_value());
    EXPECT_EQ(safe->str(), bytes);

    run(service()->safe_cache_set("plots:9:1:3", host::Bytes(bytes), 120));
    EXPECT_LE(redis_.ttl("mvt_v8:plots:9:1:3"), 120);
    EXPECT_GT(redis_.ttl("mvt_v8:plots:9:1:3"), 110);
    EXPECT_TRUE(tileway_lines(log_, warn).empty());
}

TEST_F(TileCache, ALargeBinaryValueTravelsWhole) {
    std::string bytes(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    run(cache().set("plots:12:0:0", host::Bytes(bytes)));
    auto read = run(service()->safe_cache_get("plots:12:0:0", 5.0));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size(), bytes.size());
    EXPECT_TRUE(read->view() == bytes);
}

TEST_F(TileCache, AnEmptyValueIsAValueAndAMissingKeyIsNull) {
    redis_.set("mvt_v8:plots:1:0:0", "");
    auto empty = run(cache().get("plots:1:0:0"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
    auto safe_empty = run(service()->safe_cache_get("plots:1:0:0"));
    ASSERT_TRUE(safe_empty.has_value());
    EXPECT_TRUE(safe_empty->empty());

    EXPECT_FALSE(run(cache().get("plots:1:1:1")).has_value());
    EXPECT_FALSE(run(service()->safe_cache_get("plots:1:1:1")).has_value());
    EXPECT_TRUE(tileway_lines(log_, warn).empty()) << "a miss is no failure";
}

TEST_F(TileCache, ATtlRedisRefusesIsAFailedSetAndNothingIsStored) {
    EXPECT_THROW(run(cache().set("plots:2:0:0", host::Bytes(std::string("x")), 0)),
                 host::redis::ReplyError);
    for (std::int64_t ttl : {0, -5}) {
        log_.clear();
        run(service()->safe_cache_set("plots:2:1:1", host::Bytes(std::string("x")), ttl));
        auto lines = tileway_lines(log_, warn);
        ASSERT_EQ(lines.size(), 1u) << ttl;
        EXPECT_EQ(lines[0].rfind("Cache set failed for plots:2:1:1: ", 0), 0u) << lines[0];
    }
    EXPECT_FALSE(redis_.exists("mvt_v8:plots:2:0:0"));
    EXPECT_FALSE(redis_.exists("mvt_v8:plots:2:1:1"));
}

TEST_F(TileCache, HealthIsHealthyWithRedisRunningAndTheProbeNeverWrites) {
    for (int i = 0; i < 3; ++i) {
        auto response = get("/gis/health/", std::nullopt);
        EXPECT_EQ(response.status, 200u);
        EXPECT_EQ(response.body.view(),
                  R"({"status":"healthy","cache_status":"healthy",)"
                  R"("available_layers":["plots","beacons","cadzones","districts","lgas"],)"
                  R"("zoom_support":"1-20 with layer-specific minimums"})");
    }
    EXPECT_FALSE(redis_.exists("mvt_v8:health_check"));

    // A probe key that exists is read, not touched.
    redis_.set("mvt_v8:health_check", "left by someone");
    EXPECT_EQ(json_body(get("/gis/health/", std::nullopt))["cache_status"], "healthy");
    EXPECT_EQ(redis_.get("mvt_v8:health_check"), "left by someone");
    EXPECT_EQ(redis_.ttl("mvt_v8:health_check"), -1);
}

// Commands the program's Redis has run since `reset()`, by name, leaving out the questions
// asked by this class itself.
class CommandCounts {
  public:
    void reset() { program_redis().cli("CONFIG RESETSTAT"); }
    std::map<std::string, long> now() const {
        std::map<std::string, long> counts;
        std::istringstream info(program_redis().cli("INFO commandstats"));
        for (std::string line; std::getline(info, line);) {
            const auto colon = line.find(':');
            const auto calls = line.find("calls=");
            if (line.rfind("cmdstat_", 0) != 0 || colon == std::string::npos ||
                calls == std::string::npos)
                continue;
            const auto name = line.substr(8, colon - 8);
            if (name == "info" || name.rfind("config", 0) == 0)
                continue;
            counts[name] = std::stol(line.substr(calls + 6));
        }
        return counts;
    }
};

using Counts = std::map<std::string, long>;

// What each kind of request costs in Redis: a hit is the rate-limit step and one read, nothing
// else; the probe and the answers that need no cache send nothing more.
TEST_F(TileCache, EachRequestSendsOnlyTheCommandsItNeeds) {
    const Counts rate_limit{{"multi", 1}, {"incr", 1}, {"expire", 1}, {"exec", 1}};
    const auto target = "/gis/plots/" + tile_with_plots(15).path() + ".pbf";
    CommandCounts commands;

    get("/gis/lgas/2/2/1.pbf", fresh_client());  // the connections are up and tracking
    commands.reset();
    const auto epoch = service()->redis_client().tracking_epoch();
    ASSERT_EQ(get(target, fresh_client()).status, 200u);
    // A read of a key no read has found yet is not tracked, the miss's nor the first hit's; it
    // reads the content tag at the head of the gzip entry too. A miss answered raw stores the
    // tile alone, after the answer (the request settles it), and no notice of it comes back.
    Counts read = rate_limit;
    read["get"] = 1;
    read["getrange"] = 1;
    Counts miss = read;
    miss["set"] = 1;
    run_loop_until([&] { return commands.now() == miss; });
    EXPECT_EQ(commands.now(), miss);
    EXPECT_EQ(service()->redis_client().tracking_epoch(), epoch);

    // The first hit adds the gzip copy.
    commands.reset();
    ASSERT_EQ(get(target, fresh_client()).header("X-Cache"), "HIT");
    run_loop_until([&] { return commands.now() == miss; });
    EXPECT_EQ(commands.now(), miss);

    // Found before, so the next read asks Redis to track the key (CLIENT CACHING YES) and for its
    // expiry, and the process keeps it.
    commands.reset();
    ASSERT_EQ(get(target, fresh_client()).header("X-Cache"), "HIT");
    Counts tracked_hit = read;
    tracked_hit["client|caching"] = 1;
    tracked_hit["pttl"] = 1;
    EXPECT_EQ(commands.now(), tracked_hit);

    // Kept in memory now: only the count, and a PING that catches up with the notices.
    commands.reset();
    ASSERT_EQ(get(target, fresh_client()).header("X-Cache"), "HIT");
    Counts kept = rate_limit;
    kept["ping"] = 1;
    EXPECT_EQ(commands.now(), kept);

    commands.reset();
    get("/gis/plots/5/10/10.pbf", fresh_client());  // below the minimum zoom
    get("/gis/roads/14/0/0.pbf", fresh_client());   // unknown layer
    Counts two_limits;
    for (const auto& [name, calls] : rate_limit)
        two_limits[name] = 2 * calls;
    EXPECT_EQ(commands.now(), two_limits);

    commands.reset();
    get("/gis/health/", std::nullopt);
    EXPECT_EQ(commands.now(), (Counts{{"get", 1}}));

    commands.reset();
    get("/gis/roads/", std::nullopt);  // an unknown layer's centroid: no cache access
    get("/gis/plots/zoom-info/", std::nullopt);
    get("/gis/layers/", std::nullopt);
    EXPECT_EQ(commands.now(), Counts{});
}

// A tile kept in the process's memory is the shared cache's tile: whatever any client writes or
// deletes under its key is what the next request sees.
TEST_F(TileCache, AKeptTileFollowsEveryChangeOfItsKey) {
    const auto tile = tile_with_plots(15);
    const auto target = "/gis/plots/" + tile.path() + ".pbf";
    const auto key = "mvt_v8:plots:" + std::to_string(tile.z) + ":" + std::to_string(tile.x) + ":" +
                     std::to_string(tile.y);
    const auto built = get(target, fresh_client());
    ASSERT_EQ(built.status, 200u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(get(target, fresh_client()).body, built.body);  // read, then kept

    redis_.set(key, "written by another process");
    auto changed = get(target, fresh_client());
    EXPECT_EQ(changed.header("X-Cache"), "HIT");
    EXPECT_EQ(changed.body.view(), "written by another process");
    EXPECT_EQ(get(target, fresh_client()).body.view(), "written by another process");

    redis_.del(key);
    auto rebuilt = get(target, fresh_client());
    EXPECT_EQ(rebuilt.header("X-Cache"), "");
    EXPECT_EQ(rebuilt.body, built.body);
    EXPECT_EQ(get(target, fresh_client()).body, built.body);

    // Emptied by the route: nothing kept survives it.
    ASSERT_EQ(post("/gis/cache/invalidate/plots", std::nullopt).status, 200u);
    EXPECT_EQ(get(target, fresh_client()).header("X-Cache"), "");
}

}  // namespace
}  // namespace kavara::test::tileway
