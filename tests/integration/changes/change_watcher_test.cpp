// Edits reach the cache: the watcher deletes exactly the tiles an edit touched, as counted from
// the tile grid, leaves every other tile cached, prunes what it handled, tells listening
// clients, and loses no change across a stopped server, a PostgreSQL restart or a killed
// connection.
#include "tileway/change_watcher.hpp"
#include "host/logging.hpp"
#include "raw_connections.hpp"
#include "scratch_postgres.hpp"
#include "server_process.hpp"
#include "support.hpp"
#include "tileway/cache.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/zoom_config.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace kavara::test {
namespace {

using tileway::TileBounds;

struct Servers {
    ScratchPostgres postgres;
    ScratchRedis redis;
};

Servers& servers() {
    static Servers instance;
    return instance;
}

std::string run_sql(const std::string& url, const std::string& statement) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> db(PQconnectdb(url.c_str()), &PQfinish);
    std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(db.get(), statement.c_str()),
                                                         &PQclear);
    const auto status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
        throw std::runtime_error(statement + ": " + PQerrorMessage(db.get()));
    return PQntuples(result.get()) > 0 ? PQgetvalue(result.get(), 0, 0) : "";
}

std::string run_sql(const std::string& statement) {
    return run_sql(servers().postgres.url(), statement);
}

// Squares of 30 m near the seeded area (7.45 E, 9.05 N), one per plot id.
TileBounds plot_box(int id, double shift_east = 0) {
    const double x = 829330.0 + id * 500.0 + shift_east;
    const double y = 1012200.0;
    return {x, y, x + 30.0, y + 30.0};
}

std::string envelope_sql(const TileBounds& box) {
    return fmt::format("ST_MakeEnvelope({}, {}, {}, {}, 3857)", box.minx, box.miny, box.maxx,
                       box.maxy);
}

void reset_layers() {
    std::string statement =
        "SET kavara.change_log = 'off'; TRUNCATE \"GIS\".\"PLOT\", \"GIS\".\"BEACON\", "
        "kavara.changes;";
    for (int id = 1; id <= 3; ++id) {
        if (id != 3)  // plot 3 is the one the cases insert
            statement += fmt::format(
                "INSERT INTO \"GIS\".\"PLOT\" (\"ID\", \"STATUS\", \"GEOMETRY\") VALUES ({}, "
                "'Vacant', {});",
                id, envelope_sql(plot_box(id)));
        statement += fmt::format(
            "INSERT INTO \"GIS\".\"BEACON\" (\"ID\", \"GEOMETRY\") VALUES ({}, "
            "ST_SetSRID(ST_MakePoint({}, {}), 3857));",
            id, plot_box(id).minx, plot_box(id).miny);
    }
    run_sql(statement);
}

double tile_side(std::int64_t z) {
    return 2.0 * M_PI * 6378137.0 / std::exp2(static_cast<double>(z));
}

TileBounds widened(const TileBounds& box, double by) {
    return {box.minx - by, box.miny - by, box.maxx + by, box.maxy + by};
}

using KeySet = std::set<std::string>;

// The keys the grid says an edit of these extents makes stale: at each served zoom, the tiles
// touching the extent widened by the zoom's clipping buffer (its share of 4096 of a tile).
KeySet expected_keys(const std::string& layer, const std::vector<TileBounds>& extents) {
    KeySet keys;
    for (std::int64_t z = 1; z <= tileway::MAX_ZOOM; ++z) {
        const auto config = tileway::get_zoom_config(static_cast<int>(z), layer);
        if (!config)
            continue;
        for (const auto& extent : extents) {
            const auto range =
                tileway::tiles_covering(widened(extent, tile_side(z) * config->buffer / 4096), z);
            for (auto x = range.min_x; x <= range.max_x; ++x)
                for (auto y = range.min_y; y <= range.max_y; ++y)
                    keys.insert(tileway::tile_cache_key(layer, z, x, y));
        }
    }
    return keys;
}

// Every tile of every zoom within two tiles of the extents: those an edit touches and their
// neighbours, which must stay.
KeySet cached_around(const std::string& layer, const std::vector<TileBounds>& extents) {
    KeySet keys;
    for (std::int64_t z = 1; z <= tileway::MAX_ZOOM; ++z)
        for (const auto& extent : extents) {
            const auto range = tileway::tiles_covering(widened(extent, 2 * tile_side(z)), z);
            for (auto x = range.min_x; x <= range.max_x; ++x)
                for (auto y = range.min_y; y <= range.max_y; ++y)
                    keys.insert(tileway::tile_cache_key(layer, z, x, y));
        }
    return keys;
}

class WatcherInProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_layers();
        redis_ = std::make_unique<host::redis::Client>(host::event_loop().get_executor(),
                                                       local_redis(servers().redis.port()));
        cache_ = std::make_unique<tileway::BinaryRedisCache>(*redis_, "mvt_v8");
        subscription_ = feed_.subscribe(host::event_loop().get_executor()).subscription;
        watcher_ = std::make_shared<tileway::ChangeWatcher>(
            *cache_, feed_, host::get_logger("test.changes"),
            tileway::WatchOptions{.database = {.conninfo = servers().postgres.url()},
                                  .prune = prune_,
                                  .settle = std::chrono::milliseconds(300),
                                  .poll = std::chrono::seconds(1)});
        boost::asio::co_spawn(
            host::event_loop(), watcher_->run(),
            boost::asio::bind_cancellation_slot(stop_.slot(), boost::asio::detached));
    }

    void TearDown() override {
        stop_.emit(boost::asio::cancellation_type::terminal);
        host::event_loop().run_for(std::chrono::milliseconds(200));
    }

    // Polls `condition` while the event loop (and so the watcher) runs, for up to 10 s.
    static bool eventually_on_loop(const std::function<bool()>& condition) {
        const auto start = std::chrono::steady_clock::now();
        while (!condition()) {
            if (seconds_since(start) > 10)
                return false;
            host::event_loop().restart();
            host::event_loop().run_for(std::chrono::milliseconds(50));
        }
        return true;
    }

    void cache(const KeySet& keys) {
        std::vector<std::string> full;
        for (const auto& key : keys)
            full.push_back(cache_->_make_key(key));
        std::vector<std::string_view> command{"MSET"};
        for (const auto& key : full) {
            command.push_back(key);
            command.push_back("tile");
        }
        run(redis_->command(command));
    }

    KeySet still_cached(const KeySet& keys) {
        KeySet left;
        for (const auto& key : keys)
            if (run(redis_->get(cache_->_make_key(key))))
                left.insert(key);
        return left;
    }

    // Waits for the watcher to publish changes until `count` have come.
    std::vector<tileway::ChangeRecord> changes_published(std::size_t count) {
        std::vector<tileway::ChangeRecord> all;
        const auto start = std::chrono::steady_clock::now();
        while (all.size() < count && seconds_since(start) < 10) {
            auto some = run(subscription_->next(std::chrono::seconds(1)));
            all.insert(all.end(), some.begin(), some.end());
        }
        return all;
    }

    bool prune_ = true;
    std::unique_ptr<host::redis::Client> redis_;
    std::unique_ptr<tileway::BinaryRedisCache> cache_;
    tileway::ChangeFeed feed_;
    std::shared_ptr<tileway::ChangeFeed::Subscription> subscription_;
    std::shared_ptr<tileway::ChangeWatcher> watcher_;
    boost::asio::cancellation_signal stop_;
};

TEST_F(WatcherInProcess, DeletesTheTilesEachEditTouchedAndNoOther) {
    struct Case {
        std::string name;
        std::string layer;
        std::string edit;
        std::optional<TileBounds> old_extent, new_extent;
    };
    const TileBounds beacon{plot_box(2).minx, plot_box(2).miny, plot_box(2).minx, plot_box(2).miny};
    const std::vector<Case> cases{
        {"status of a plot", "plots",
         "UPDATE \"GIS\".\"PLOT\" SET \"STATUS\" = 'Revoked' WHERE \"ID\" = 1", plot_box(1),
         plot_box(1)},
        {"plot moved 200 m east", "plots",
         "UPDATE \"GIS\".\"PLOT\" SET \"GEOMETRY\" = ST_Translate(\"GEOMETRY\", 200, 0) WHERE "
         "\"ID\" = 2",
         plot_box(2), plot_box(2, 200)},
        {"plot inserted", "plots",
         fmt::format("INSERT INTO \"GIS\".\"PLOT\" (\"ID\", \"GEOMETRY\") VALUES (3, {})",
                     envelope_sql(plot_box(3))),
         std::nullopt, plot_box(3)},
        {"plot deleted", "plots", "DELETE FROM \"GIS\".\"PLOT\" WHERE \"ID\" = 1", plot_box(1),
         std::nullopt},
        {"beacon remarked", "beacons",
         "UPDATE \"GIS\".\"BEACON\" SET \"REMARK\" = 'found' WHERE \"ID\" = 2", beacon, beacon},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<TileBounds> extents;
        for (const auto& extent : {c.old_extent, c.new_extent})
            if (extent)
                extents.push_back(*extent);
        const KeySet around = cached_around(c.layer, extents);
        const KeySet stale = expected_keys(c.layer, extents);
        cache(around);
        run_sql(c.edit);
        const auto published = changes_published(1);
        ASSERT_EQ(published.size(), 1u);
        EXPECT_EQ(published[0].layer, c.layer);
        KeySet kept;
        std::set_difference(around.begin(), around.end(), stale.begin(), stale.end(),
                            std::inserter(kept, kept.end()));
        EXPECT_EQ(still_cached(around), kept);
        EXPECT_EQ(around.size() - still_cached(around).size(), stale.size());
        // Pruned once purged a second time; the next case waits for that, since the second
        // purge would also delete what it caches.
        EXPECT_TRUE(eventually_on_loop(
            [] { return run_sql("SELECT count(*) FROM kavara.changes") == "0"; }));
    }
}

// A worker whose neighbour prunes the log: its clients refetch a tile as soon as they hear of
// the edit, so the tile must be gone by then, whatever the pruning worker has done.
class WatcherBesidePruner : public WatcherInProcess {
  protected:
    WatcherBesidePruner() { prune_ = false; }
};

TEST_F(WatcherBesidePruner, PurgesBeforeItTells) {
    const KeySet around = cached_around("plots", {plot_box(1)});
    const KeySet stale = expected_keys("plots", {plot_box(1)});
    cache(around);
    run_sql("UPDATE \"GIS\".\"PLOT\" SET \"STATUS\" = 'Revoked' WHERE \"ID\" = 1");
    ASSERT_EQ(changes_published(1).size(), 1u);
    EXPECT_EQ(around.size() - still_cached(around).size(), stale.size());
}

// kavara-server as people run it, against the scratch servers.
std::unique_ptr<ServerProcess> start_server(const std::string& environment = "") {
    auto server = std::make_unique<ServerProcess>(
        fmt::format("DATABASE_URL={} REDIS_HOST=127.0.0.1 REDIS_PORT={} KAVARA_WORKERS=1 {}",
                    servers().postgres.url(), servers().redis.port(), environment));
    EXPECT_TRUE(server->wait_listening());
    return server;
}

TEST(WatcherInTheServer, LosesNoChangeAndTellsListeners) {
    reset_layers();
    auto server = start_server();
    const auto tile = tileway::tiles_covering(plot_box(1), 16);
    const std::string key =
        "mvt_v8:" + tileway::tile_cache_key("plots", 16, tile.min_x, tile.min_y);
    const std::string elsewhere =
        "mvt_v8:" + tileway::tile_cache_key("plots", 16, tile.min_x + 10, tile.min_y);
    const std::string edit =
        "UPDATE \"GIS\".\"PLOT\" SET \"STATUS\" = 'Developed' WHERE \"ID\" = 1";
    struct Case {
        std::string name;
        std::function<void()> disrupt_and_edit;
    };
    const std::vector<Case> cases{
        {"edited while the server is stopped",
         [&] {
             server.reset();
             run_sql(edit);
             server = start_server();
         }},
        {"edited while PostgreSQL restarts",
         [&] {
             servers().postgres.stop();
             servers().postgres.start();
             run_sql(edit);
         }},
        {"edited after the watcher's connection was killed",
         [&] {
             ASSERT_TRUE(eventually(
                 [] {
                     return run_sql(
                                "SELECT count(pg_terminate_backend(pid)) FROM "
                                "pg_stat_activity WHERE query LIKE '%kavara.changes%' AND "
                                "pid <> pg_backend_pid()") != "0";
                 },
                 std::chrono::seconds(10)));
             run_sql(edit);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        servers().redis.cli(fmt::format("SET {} stale", key));
        servers().redis.cli(fmt::format("SET {} elsewhere", elsewhere));
        c.disrupt_and_edit();
        EXPECT_TRUE(eventually([&] { return servers().redis.cli("EXISTS " + key) == "0"; },
                               std::chrono::seconds(15)));
        EXPECT_EQ(servers().redis.cli("EXISTS " + elsewhere), "1");
    }
    // A client listening on the stream hears of the next edit.
    const auto heard = shell(fmt::format(
        "(sleep 1; psql -X -q '{}' -c 'UPDATE \"GIS\".\"PLOT\" SET \"STATUS\" = $$Vacant$$ "
        "WHERE \"ID\" = 1') & curl -sN --max-time 4 {}; wait",
        servers().postgres.url(), server->url("/gis/changes")));
    EXPECT_NE(heard.out.find("event: change\ndata: {\"layer\":\"plots\",\"extent\":["),
              std::string::npos)
        << heard.out;
    // A client still listening does not hold the shutdown for the grace period of requests.
    shell(fmt::format("curl -sN --max-time 30 {} >/dev/null 2>&1 &", server->url("/gis/changes")));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto stopping = std::chrono::steady_clock::now();
    EXPECT_EQ(server->stop(), 0);
    EXPECT_LT(seconds_since(stopping), 5.0);
}

// Requests for the stream, one from each of `clients` (through the loopback proxy), their
// answers unread. All connect before any request is sent, so that the server reads them
// together.
std::vector<RawConnection> listen_as(const ServerProcess& server,
                                     const std::vector<std::string>& clients,
                                     int receive_buffer = 0) {
    std::vector<RawConnection> connections;
    for (std::size_t i = 0; i < clients.size(); ++i)
        connections.emplace_back(server.port(), receive_buffer);
    for (std::size_t i = 0; i < clients.size(); ++i)
        connections[i].send(fmt::format(
            "GET /gis/changes HTTP/1.1\r\nHost: a\r\nX-Forwarded-For: {}\r\n\r\n", clients[i]));
    return connections;
}

// The status of the answer; a refusal must say when to come back.
std::string status_of(RawConnection& connection) {
    const auto head = connection.read_until("\r\n\r\n", std::chrono::seconds(10));
    const std::string status = head.size() > 12 ? head.substr(9, 3) : "none";
    if (status != "200") {
        EXPECT_NE(head.find("Retry-After: 10\r\n"), std::string::npos) << head;
    }
    return status;
}

std::map<std::string, int> statuses_of(std::vector<RawConnection>& connections) {
    std::map<std::string, int> statuses;
    for (auto& connection : connections)
        ++statuses[status_of(connection)];
    return statuses;
}

// Listeners are bounded per client and per process, counted as they are admitted however many
// arrive together, and one that stopped reading loses its stream about a write timeout after
// its window has shut, while one that reads keeps its own.
TEST(WatcherInTheServer, ListenersAreBoundedAndOnesThatStopReadingLoseTheirStream) {
    reset_layers();
    const DescriptorLimit descriptors(4096);  // over a thousand listeners on either side
    auto server = start_server("KAVARA_STREAMS_PER_CLIENT=2");
    // Every request is sent before any answer is read.
    auto one_client = listen_as(*server, std::vector<std::string>(40, "198.51.100.1"));
    EXPECT_EQ(statuses_of(one_client), (std::map<std::string, int>{{"200", 2}, {"429", 38}}));
    std::vector<std::string> clients;
    for (int i = 0; i < 1010; ++i)
        clients.push_back(fmt::format("10.0.{}.{}", i / 250, i % 250 + 1));
    auto many_clients = listen_as(*server, clients);
    EXPECT_EQ(statuses_of(many_clients), (std::map<std::string, int>{{"200", 998}, {"503", 12}}));
    one_client.clear();
    many_clients.clear();

    // Two listeners that read their answer's head and then nothing more, and one that reads.
    auto unread = listen_as(*server, {"198.51.100.2", "198.51.100.2"}, 1);
    auto reader = listen_as(*server, {"198.51.100.3"});
    ASSERT_EQ(statuses_of(unread)["200"], 2);
    ASSERT_EQ(statuses_of(reader)["200"], 1);
    auto third = listen_as(*server, {"198.51.100.2"});
    EXPECT_EQ(statuses_of(third)["429"], 1);
    // Far more changes than the unread listeners' windows hold.
    run_sql(fmt::format(
        "INSERT INTO \"GIS\".\"PLOT\" (\"ID\", \"STATUS\", \"GEOMETRY\") SELECT g, 'Vacant', "
        "ST_Translate({}, g * 40.0, 0) FROM generate_series(100, 399) g",
        envelope_sql(plot_box(0))));
    bool admitted = false;
    for (int attempt = 0; attempt < 90 && !admitted; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        auto again = listen_as(*server, {"198.51.100.2"});
        admitted = statuses_of(again).contains("200");
    }
    EXPECT_TRUE(admitted) << "the listeners that stopped reading kept their streams";
    EXPECT_FALSE(reader.front().closed_by_peer());
    EXPECT_NE(
        reader.front().read_until("event: change", std::chrono::seconds(1)).find("event: change"),
        std::string::npos);
}

}  // namespace
}  // namespace kavara::test
