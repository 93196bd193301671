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

TEST_F(Timeouts, AStatementPastItsLimitIsCancelledOnTheServer) {
    BlockingConnection locker;
    locker.exec("BEGIN");
    locker.exec("LOCK TABLE " + table.name() + " IN ACCESS EXCLUSIVE MODE");
    std::int64_t pid = 0;
    run([&]() -> awaitable<void> {
        Session db(pool);
        pid = co_await backend_pid(db);
        std::string blocked = "SELECT count(*) FROM " + table.name();
        auto start = std::chrono::steady_clock::now();
        bool timed_out = false;
        try {
            co_await host::wait_for(db.execute(blocked), 0.5);
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
        std::string unblocked = "SELECT count(*) FROM " + table.name();
        auto result = co_await host::wait_for(db.execute(unblocked), 5.0);
        EXPECT_EQ(result.scalar_one_or_none()->as_int(), 0);
        co_await db.commit();
        co_await db.close();
    }());
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
