// Statements that wait past their limits: a connection of the test's own holds exclusive locks
// on the layer tables in the program's own cluster, so the statements cannot run. The answers
// are 408 after each limit, the statements are cancelled in the server, and the next requests
// after the locks are gone succeed.
#include "scratch_servers.hpp"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>

namespace kavara::test::tileway {
namespace {

// An open transaction holding ACCESS EXCLUSIVE on tables until release() or destruction.
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

// Two statement limits at once, so the test waits for the longer one only: a z/x/y tile at
// zoom 6 (10 s) and a plots bounding box (20 s). (The centroid's estimate takes no lock on its
// table, so a lock cannot hold it back.)
TEST(StatementTimeout, LockedTablesGive408AfterEachLimitAndLeaveNothingRunning) {
    load_faults_app();
    const auto tile = tile_with_plots(6);
    const std::vector<std::string> targets{
        "/gis/cadzones/" + tile.path() + ".pbf",
        "/gis/plots/bbox/?minx=7.44&miny=9.04&maxx=7.46&maxy=9.06"};
    RedisInspector(program_redis().port()).del_matching("mvt_v8:*");

    TableLock lock(program_cluster().url(), R"("GIS"."CadZones", "GIS"."PLOT")");
    host::logging::Capture log;
    std::vector<double> seconds;
    const auto answers = get_concurrently(targets, fresh_client(), &seconds);

    EXPECT_EQ(answers[0].status, 408u);
    EXPECT_EQ(detail(answers[0]), "Tile generation timeout at zoom 6");
    EXPECT_GE(seconds[0], 9.9);
    EXPECT_LT(seconds[0], 12.0);
    EXPECT_EQ(answers[1].status, 408u);
    EXPECT_EQ(detail(answers[1]), "Query timeout");
    EXPECT_GE(seconds[1], 19.9);
    EXPECT_LT(seconds[1], 22.0);
    EXPECT_EQ(tileway_lines(log, spdlog::level::err),
              (std::vector<std::string>{"Timeout generating tile cadzones/" + tile.path(),
                                        "Timeout generating bbox tile for plots"}));

    // Asked while the locks are still held: a statement of ours that had not been cancelled
    // would still be waiting for them.
    EXPECT_EQ(sql("SELECT count(*) FROM pg_stat_activity WHERE pid <> pg_backend_pid() "
                  "AND query LIKE '%ST_AsMVT(%' "
                  "AND state <> 'idle'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(sql("SELECT count(*) FROM pg_stat_activity "
                  "WHERE application_name = 'kavara' AND state <> 'idle'"),
              std::vector<std::string>{"0"});
    EXPECT_EQ(sql("SELECT count(*) FROM pg_locks WHERE NOT granted"),
              std::vector<std::string>{"0"});

    lock.release();
    for (const auto& target : targets) {
        auto after = get(target, fresh_client());
        EXPECT_EQ(after.status, 200u) << target << " " << after.body.view();
    }
}

}  // namespace
}  // namespace kavara::test::tileway
