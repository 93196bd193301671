#include "database_fixture.hpp"

#include <chrono>
#include <string>

namespace kavara::test::database {
namespace {

class Timeouts : public ::testing::Test {
  protected:
    TestTable table{"lock"};
    std::shared_ptr<Pool> pool = make_pool(1);
};

// Alone, or in one round trip between its BEGIN and COMMIT: either way the caller's time limit
// cancels the statement on the server and the connection is drained, fit to be used again.
TEST_F(Timeouts, AStatementPastItsLimitIsCancelledOnTheServer) {
    using Call = awaitable<Result> (Session::*)(std::string_view, const Params&);
    struct Case {
        const char* what;
        Call call;
    };
    for (const Case c : {Case{"execute", &Session::execute},
                         Case{"execute_and_commit", &Session::execute_and_commit}}) {
        SCOPED_TRACE(c.what);
        BlockingConnection locker;
        locker.exec("BEGIN");
        locker.exec("LOCK TABLE " + table.name() + " IN ACCESS EXCLUSIVE MODE");
        std::int64_t pid = 0;
        const std::string count = "SELECT count(*) FROM " + table.name();
        run([&]() -> awaitable<void> {
            Session db(pool);
            pid = co_await backend_pid(db);
            co_await db.commit();
            auto start = std::chrono::steady_clock::now();
            bool timed_out = false;
            try {
                co_await host::wait_for((db.*c.call)(count, {}), 0.5);
            } catch (const host::TimeoutError&) {
                timed_out = true;
            }
            double elapsed = seconds_since(start);
            EXPECT_TRUE(timed_out);
            EXPECT_GE(elapsed, 0.45);
            EXPECT_LT(elapsed, 2.0);

            // Nothing of ours runs on: the server cancelled the statement and aborted the
            // transaction, which the caller now rolls back.
            EXPECT_EQ(active_statements(), 0);
            EXPECT_EQ(sql("SELECT state FROM pg_stat_activity WHERE pid = " + std::to_string(pid)),
                      std::vector<std::string>{"idle in transaction (aborted)"});
            EXPECT_EQ(co_await failure_state(db, "SELECT 1"), "25P02");
            co_await db.rollback();
            co_await db.close();
            EXPECT_EQ(pool->idle(), 1u);
        }());
        locker.exec("ROLLBACK");

        run([&]() -> awaitable<void> {
            Session db(pool);
            EXPECT_EQ(co_await backend_pid(db), pid);  // the same connection, clean again
            auto result = co_await host::wait_for((db.*c.call)(count, {}), 5.0);
            EXPECT_EQ(result.scalar_one_or_none()->as_int(), 0);
            co_await db.commit();
            co_await db.close();
        }());
    }
}

TEST_F(Timeouts, ALimitReachedWhileWaitingForAConnectionLeavesThePoolSound) {
    run([&]() -> awaitable<void> {
        Session holder(pool);
        std::int64_t pid = co_await backend_pid(holder);

        Session waiter(pool);
        bool timed_out = false;
        try {
            co_await host::wait_for(waiter.execute("SELECT 1"), 0.3);
        } catch (const host::TimeoutError&) {
            timed_out = true;
        }
        EXPECT_TRUE(timed_out);
        EXPECT_FALSE(waiter.has_connection());

        co_await holder.close();
        EXPECT_EQ(pool->idle(), 1u);  // not handed to the waiter that gave up
        EXPECT_EQ(co_await backend_pid(waiter), pid);
        co_await waiter.close();
        EXPECT_EQ(pool->open(), 1u);
    }());
}

}  // namespace
}  // namespace kavara::test::database
