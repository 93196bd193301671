// A tile statement that waits past its zoom's limit: a connection of the test's own holds an
// exclusive lock on the layer's table in the program's own cluster, so the statement cannot
// run. The answer is 408 after the limit, the statement is cancelled in the server, and the
// next request after the lock is gone succeeds.
#include "scratch_servers.hpp"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>

namespace kavara::test::tileway {
namespace {

// An open transaction holding ACCESS EXCLUSIVE on one table until release() or destruction.
class TableLock {
  public:
    TableLock(const std::string& url, const std::string& table)
        : conn_(PQconnectdb(url.c_str()), PQfinish) {
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            throw std::runtime_error(std::string("connect: ") + PQerrorMessage(conn_.get()));
        exec("BEGIN");
        exec("LOCK TABLE " + table + " IN ACCESS EXCLUSIVE MODE");
    }
    void release() { exec("ROLLBACK"); }

  private:
    void exec(const std::string& statement) {
        std::unique_ptr<PGresult, void (*)(PGresult*)> result(
            PQexec(conn_.get(), statement.c_str()), PQclear);
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK)
            throw std::runtime_error(statement + ": " + PQerrorMessage(conn_.get()));
    }
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn_;
};

TEST(StatementTimeout, ALockedTableGives408AfterTheLimitAndLeavesNothingRunning) {
    load_faults_app();
    // Zoom 6 has the shortest limit (10 s) that a table-backed tile meets.
    const auto tile = tile_with_plots(6);
    const auto target = "/gis/cadzones/" + tile.path() + ".pbf";
    RedisInspector(program_redis().port())
        .del("mvt_v8:cadzones:" + std::to_string(tile.z) + ":" + std::to_string(tile.x) + ":" +
             std::to_string(tile.y));

    TableLock lock(program_cluster().url(), R"("GIS"."CadZones")");
    host::logging::Capture log;
    const auto start = std::chrono::steady_clock::now();
    auto response = get(target, fresh_client());
    const double waited = seconds_since(start);

    EXPECT_EQ(response.status, 408u);
    EXPECT_EQ(detail(response), "Tile generation timeout at zoom 6");
    EXPECT_GE(waited, 9.9);
    EXPECT_LT(waited, 12.0);
    EXPECT_EQ(tileway_lines(log, spdlog::level::err),
              std::vector<std::string>{"Timeout generating tile cadzones/" + tile.path()});

    // Asked while the lock is still held: a statement of ours that had not been cancelled
    // would still be waiting for it.
    EXPECT_EQ(sql("SELECT count(*) FROM pg_stat_activity WHERE pid <> pg_backend_pid() "
                  "AND query LIKE '%ST_AsMVT(mvt_data, ''cadzones''%' AND state <> 'idle'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(sql("SELECT count(*) FROM pg_stat_activity "
                  "WHERE application_name = 'kavara' AND state <> 'idle'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(sql("SELECT count(*) FROM pg_locks WHERE NOT granted"),
              std::vector<std::string>{"0"});

    lock.release();
    auto after = get(target, fresh_client());
    EXPECT_EQ(after.status, 200u) << after.body.view();
    EXPECT_FALSE(after.body.empty());
}

}  // namespace
}  // namespace kavara::test::tileway
