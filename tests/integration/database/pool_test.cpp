#include "database_fixture.hpp"

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kavara::test::database {
namespace {

using namespace std::chrono_literals;

TEST(Pool, AtMostSizeConnectionsAndWaitersServedInOrder) {
    auto pool = make_pool(2);
    run([&]() -> awaitable<void> {
        auto executor = co_await boost::asio::this_coro::executor;
        Session first(pool), second(pool);
        std::int64_t first_pid = co_await backend_pid(first);
        std::int64_t second_pid = co_await backend_pid(second);

        // Three more sessions queue, one after the other, while both connections are leased.
        std::vector<int> served;
        std::set<std::int64_t> pids;
        int finished = 0;
        for (int id = 1; id <= 3; ++id) {
            boost::asio::co_spawn(
                executor,
                [&, id]() -> awaitable<void> {
                    Session db(pool);
                    pids.insert(co_await backend_pid(db));
                    served.push_back(id);
                    EXPECT_LE(pool->open(), 2u);
                    co_await db.close();
                    ++finished;
                },
                boost::asio::detached);
            co_await sleep_for(20ms);
        }
        EXPECT_TRUE(served.empty());
        EXPECT_EQ(pool->open(), 2u);

        co_await first.close();
        while (finished < 3)
            co_await sleep_for(10ms);
        EXPECT_EQ(served, (std::vector<int>{1, 2, 3}));
        // All three went through the connection the first session gave back.
        EXPECT_EQ(pids, std::set<std::int64_t>{first_pid});
        EXPECT_EQ(co_await backend_pid(second), second_pid);
        co_await second.close();
        EXPECT_EQ(pool->open(), 2u);
        EXPECT_EQ(pool->idle(), 2u);
    }());
}

TEST(Pool, ConcurrentSessionsShareTheConnections) {
    auto pool = make_pool(2);
    run([&]() -> awaitable<void> {
        auto executor = co_await boost::asio::this_coro::executor;
        int leased = 0, most_leased = 0, finished = 0;
        std::set<std::int64_t> pids;
        for (int i = 0; i < 5; ++i) {
            boost::asio::co_spawn(
                executor,
                [&]() -> awaitable<void> {
                    Session db(pool);
                    pids.insert(co_await backend_pid(db));
                    most_leased = std::max(most_leased, ++leased);
                    co_await db.execute("SELECT pg_sleep(0.05)");
                    --leased;
                    co_await db.close();
                    ++finished;
                },
                boost::asio::detached);
        }
        while (finished < 5)
            co_await sleep_for(10ms);
        EXPECT_EQ(most_leased, 2);
        EXPECT_EQ(pids.size(), 2u);
        EXPECT_EQ(pool->open(), 2u);
        EXPECT_EQ(pool->idle(), 2u);
    }());
}

TEST(Pool, ALostConnectionFailsItsSessionAndIsReplaced) {
    auto pool = make_pool(1);
    run([&]() -> awaitable<void> {
        Session db(pool);
        std::int64_t pid = co_await backend_pid(db);
        sql("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
        try {
            co_await db.execute("SELECT 1");
            ADD_FAILURE() << "a statement on a terminated connection succeeded";
        } catch (const DatabaseError& e) {
            // The server's goodbye, or libpq's report of the closed socket.
            EXPECT_TRUE(e.sqlstate() == "57P01" || e.sqlstate() == "08006") << e.sqlstate();
        }
        EXPECT_THROW(co_await db.commit(), DatabaseError);
        co_await db.rollback();  // the server has already dropped the transaction
        co_await db.close();
        EXPECT_EQ(pool->open(), 0u);

        Session next(pool);
        EXPECT_NE(co_await backend_pid(next), pid);
        co_await next.close();
        EXPECT_EQ(pool->idle(), 1u);
    }());
}

TEST(Pool, AnIdleConnectionClosedByTheServerIsReplacedUnseen) {
    auto pool = make_pool(1);
    run([&]() -> awaitable<void> {
        Session db(pool);
        std::int64_t pid = co_await backend_pid(db);
        co_await db.close();
        sql("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
        co_await sleep_for(100ms);  // for the server's goodbye to arrive

        Session next(pool);
        EXPECT_NE(co_await backend_pid(next), pid);
        co_await next.close();
        EXPECT_EQ(pool->open(), 1u);
    }());
}

awaitable<std::int64_t> committed_pid(Session& db) {
    auto result = co_await db.execute_and_commit("SELECT pg_backend_pid()");
    co_return result.scalar_one_or_none()->as_int();
}

// Ways for the server to lose a connection's prepared statement or to refuse its plan: the next
// use prepares it again, on the same connection unless that one is gone.
TEST(Pool, AStatementTheServerNoLongerHasIsPreparedAgain) {
    TestTable table{"forgotten"};
    auto pool = make_pool(1);
    const std::string select_all = "SELECT * FROM " + table.name();
    struct Case {
        const char* what;
        std::string in_session;                          // run by the session itself
        std::function<void(std::int64_t)> from_outside;  // given the connection's backend pid
        bool same_connection;
    };
    const Case cases[] = {
        {"all deallocated", "DEALLOCATE ALL", nullptr, true},
        {"a column added to the table it reads", "",
         [&](std::int64_t) { sql("ALTER TABLE " + table.name() + " ADD COLUMN extra integer"); },
         true},
        {"its connection terminated", "",
         [](std::int64_t pid) { sql("SELECT pg_terminate_backend(" + std::to_string(pid) + ")"); },
         false},
    };
    run([&]() -> awaitable<void> {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Session db(pool);
            co_await db.execute_and_commit(select_all);
            const std::int64_t pid = co_await committed_pid(db);
            if (!c.in_session.empty())
                co_await db.execute_and_commit(c.in_session);
            co_await db.close();
            if (c.from_outside)
                c.from_outside(pid);
            co_await sleep_for(100ms);  // for a terminated connection's goodbye to arrive

            Session next(pool);
            auto all = co_await next.execute_and_commit(select_all);
            EXPECT_EQ(std::to_string(all.columns()),
                      sql("SELECT count(*) FROM information_schema.columns WHERE table_name = '" +
                          table.name() + "'")[0]);
            EXPECT_EQ(co_await committed_pid(next) == pid, c.same_connection);
            co_await next.close();
            EXPECT_EQ(pool->idle(), 1u);
        }
    }());
}

TEST(Pool, EachConnectionKeepsAtMostItsNumberOfPreparedStatements) {
    PoolOptions options;
    options.conninfo = our_conninfo();
    options.size = 1;
    options.prepared_statements = 3;
    auto pool = Pool::create(host::event_loop().get_executor(), options);
    run([&]() -> awaitable<void> {
        Session db(pool);
        for (const char* statement : {"SELECT 'a'", "SELECT 'b'", "SELECT 'a'", "SELECT 'c'"})
            co_await db.execute_and_commit(statement);
        // Room for the fourth is made by giving up the one used longest ago.
        auto held = co_await db.execute_and_commit(
            "SELECT statement FROM pg_prepared_statements ORDER BY statement");
        std::vector<std::string> statements;
        for (int i = 0; i < held.rows(); ++i)
            statements.push_back(held.row(i)["statement"].text());
        EXPECT_EQ(statements,
                  (std::vector<std::string>{
                      "SELECT 'a'", "SELECT 'c'",
                      "SELECT statement FROM pg_prepared_statements ORDER BY statement"}));
        auto again = co_await db.execute_and_commit("SELECT 'b'");
        EXPECT_EQ(again.scalar_one_or_none()->text(), "b");
        co_await db.close();
    }());
}

TEST(Pool, ARefusedConnectionIsADatabaseError) {
    auto pool = make_pool(1, conninfo_with_port(free_port()));
    run([&]() -> awaitable<void> {
        Session db(pool);
        auto start = std::chrono::steady_clock::now();
        try {
            co_await db.execute("SELECT 1");
            ADD_FAILURE() << "connected to a port nobody listens on";
        } catch (const DatabaseError& e) {
            EXPECT_EQ(e.sqlstate(), "08001");
            EXPECT_NE(std::string(e.what()).find("refused"), std::string::npos) << e.what();
        }
        EXPECT_LT(seconds_since(start), 2.0);
        EXPECT_FALSE(db.has_connection());
        EXPECT_EQ(pool->open(), 0u);
        co_await db.close();
    }());
}

TEST(Pool, ASilentServerRunsIntoTheConnectTimeout) {
    SilentListener silent;
    auto pool = make_pool(1, conninfo_with_port(silent.port()), 0.3);
    run([&]() -> awaitable<void> {
        Session db(pool);
        auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(co_await db.execute("SELECT 1"), DatabaseError);
        double elapsed = seconds_since(start);
        EXPECT_GE(elapsed, 0.25);
        EXPECT_LT(elapsed, 2.0);
        EXPECT_EQ(pool->open(), 0u);

        // The caller's own, shorter limit wins and is reported as a time-out.
        EXPECT_THROW(co_await host::wait_for(db.execute("SELECT 1"), 0.1), host::TimeoutError);
        EXPECT_EQ(pool->open(), 0u);
    }());
}

TEST(Pool, TheDefaultPoolIsCreatedFromItsOptionsAtFirstUse) {
    set_default_pool(nullptr);
    configure_default_pool({});
    try {
        default_pool();
        ADD_FAILURE() << "a default pool without a conninfo";
    } catch (const DatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("DATABASE_URL"), std::string::npos);
    }
    configure_default_pool({.conninfo = our_conninfo(), .size = 3});
    auto pool = default_pool();
    EXPECT_EQ(pool->options().size, 3u);
    configure_default_pool({.conninfo = our_conninfo(), .size = 5});
    EXPECT_EQ(default_pool(), pool);  // created once, at first use
    run([&]() -> awaitable<void> {
        auto db = get_db();
        auto result = co_await db->execute("SELECT current_setting('application_name')");
        EXPECT_EQ(result.scalar_one_or_none()->text(), application_name());
        co_await db->close();
    }());
    EXPECT_EQ(pool->idle(), 1u);
    set_default_pool(nullptr);
    EXPECT_EQ(default_pool()->options().size, 5u);  // the options of the next first use
    set_default_pool(nullptr);
    configure_default_pool({});
}

TEST(Pool, ConnectionsAreNamedForPgStatActivity) {
    PoolOptions options;
    options.conninfo = database_url();
    auto pool = Pool::create(host::event_loop().get_executor(), options);
    run([&]() -> awaitable<void> {
        Session db(pool);
        auto result = co_await db.execute("SELECT current_setting('application_name')");
        EXPECT_EQ(result.scalar_one_or_none()->text(), "kavara");
        co_await db.close();
    }());
}

}  // namespace
}  // namespace kavara::test::database
