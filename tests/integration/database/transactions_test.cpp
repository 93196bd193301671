#include "database_fixture.hpp"

#include <string>
#include <utility>

namespace kavara::test::database {
namespace {

class Transactions : public ::testing::Test {
  protected:
    TestTable table{"tx"};
    std::shared_ptr<Pool> pool = make_pool(1);

    std::string count_rows() { return sql("SELECT count(*) FROM " + table.name())[0]; }

    awaitable<void> insert(Session& db, std::int64_t id) {
        Params params = {{"id", id}, {"label", std::string("row")}};
        co_await db.execute("INSERT INTO " + table.name() + " VALUES (:id, :label)", params);
    }

    awaitable<void> insert_and_commit(Session& db, std::int64_t id) {
        Params params = {{"id", id}, {"label", "row " + std::to_string(id)}};
        co_await db.execute_and_commit("INSERT INTO " + table.name() + " VALUES (:id, :label)",
                                       params);
    }
};

// The message and SQLSTATE of the DatabaseError that `work` raises.
template <typename Work>
awaitable<std::pair<std::string, std::string>> error_of(Work work) {
    try {
        co_await work();
    } catch (const DatabaseError& e) {
        co_return std::make_pair(std::string(e.what()), e.sqlstate());
    }
    co_return std::make_pair(std::string("no error"), std::string());
}

TEST_F(Transactions, CommitPersistsAndRollbackDiscards) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        co_await insert(db, 1);
        EXPECT_EQ(count_rows(), "0");  // others see nothing before the commit
        co_await db.commit();
        EXPECT_EQ(count_rows(), "1");

        // After a commit the next statement opens a new transaction.
        co_await insert(db, 2);
        co_await db.rollback();
        EXPECT_EQ(count_rows(), "1");
        co_await db.close();
    }());
}

TEST_F(Transactions, WithoutStatementsThereIsNothingToEnd) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        co_await db.commit();
        co_await db.rollback();
        co_await db.close();
        EXPECT_FALSE(db.has_connection());
        EXPECT_EQ(pool->open(), 0u);
    }());
}

TEST_F(Transactions, AStatementErrorCarriesTheServersMessageAndState) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        co_await insert(db, 1);
        try {
            co_await db.execute("SELECT * FROM kavara_dbtest_no_such_table");
            ADD_FAILURE() << "expected a DatabaseError";
        } catch (const DatabaseError& e) {
            EXPECT_EQ(e.sqlstate(), "42P01");
            EXPECT_STREQ(e.what(), "relation \"kavara_dbtest_no_such_table\" does not exist");
        }
        // The transaction refuses work until it is rolled back; then the session works again.
        EXPECT_EQ(co_await failure_state(db, "SELECT 1"), "25P02");
        co_await db.rollback();
        EXPECT_EQ(co_await failure_state(db, "SELECT 1 / 0"), "22012");
        co_await db.rollback();
        co_await insert(db, 2);
        co_await db.commit();
        EXPECT_EQ(sql("SELECT id FROM " + table.name()), std::vector<std::string>{"2"});
        co_await db.close();
        EXPECT_EQ(pool->idle(), 1u);  // errors do not cost the connection
    }());
}

TEST_F(Transactions, CommittingAFailedTransactionIsAnError) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        co_await insert(db, 1);
        EXPECT_EQ(co_await failure_state(db, "SELECT 1 / 0"), "22012");
        try {
            co_await db.commit();
            ADD_FAILURE() << "the commit of a failed transaction succeeded";
        } catch (const DatabaseError& e) {
            EXPECT_STREQ(e.what(), "transaction was aborted");
        }
        EXPECT_EQ(count_rows(), "0");
        co_await insert(db, 3);  // a new transaction
        co_await db.commit();
        EXPECT_EQ(count_rows(), "1");
        co_await db.close();
    }());
}

TEST_F(Transactions, AnErrorRaisedByCommitIsReported) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        co_await db.execute(
            "CREATE TEMP TABLE deferred_check (id int UNIQUE DEFERRABLE INITIALLY DEFERRED)");
        co_await db.execute("INSERT INTO deferred_check VALUES (1), (1)");
        try {
            co_await db.commit();
            ADD_FAILURE() << "the commit succeeded despite the duplicate";
        } catch (const DatabaseError& e) {
            EXPECT_EQ(e.sqlstate(), "23505");
        }
        co_await db.close();
        EXPECT_EQ(pool->idle(), 1u);
    }());
}

TEST_F(Transactions, ExecuteAndCommitLeavesNoTransactionOpen) {
    run([&]() -> awaitable<void> {
        Session db(pool);
        co_await insert_and_commit(db, 1);
        EXPECT_EQ(count_rows(), "1");  // committed before it returned
        co_await db.rollback();        // nothing open to undo
        EXPECT_EQ(count_rows(), "1");

        // Inside an open transaction it commits the earlier work too.
        co_await insert(db, 2);
        co_await insert_and_commit(db, 3);
        co_await db.rollback();
        EXPECT_EQ(count_rows(), "3");
        co_await db.close();
        EXPECT_EQ(pool->idle(), 1u);
    }());
}

// The same statement through execute() + commit() and through execute_and_commit(): a failure
// while preparing, while running and at COMMIT gives the same error; nothing is written, the
// transaction is over on the server and the connection is kept.
TEST_F(Transactions, ExecuteAndCommitFailsAsExecuteThenCommitDoes) {
    sql("ALTER TABLE " + table.name() + " ADD UNIQUE (label) DEFERRABLE INITIALLY DEFERRED");
    struct Case {
        const char* what;
        std::string statement;
    };
    const Case cases[] = {
        {"unknown table", "SELECT * FROM kavara_dbtest_no_such_table"},
        {"division by zero", "INSERT INTO " + table.name() + " VALUES (1 / 0, 'x')"},
        {"deferred check", "INSERT INTO " + table.name() + " VALUES (1, 'x'), (2, 'x')"},
    };
    run([&]() -> awaitable<void> {
        std::int64_t first_pid = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Session db(pool);
            auto pid = (co_await db.execute_and_commit("SELECT pg_backend_pid()"))
                           .scalar_one_or_none()
                           ->as_int();
            EXPECT_EQ(pid, first_pid ? first_pid : (first_pid = pid));  // one connection
            auto by_steps = co_await error_of([&]() -> awaitable<void> {
                co_await db.execute(c.statement);
                co_await db.commit();
            });
            co_await db.rollback();
            auto at_once = co_await error_of(
                [&]() -> awaitable<void> { co_await db.execute_and_commit(c.statement); });
            EXPECT_EQ(at_once, by_steps);
            EXPECT_NE(by_steps.second, "");
            EXPECT_EQ(sql("SELECT state FROM pg_stat_activity WHERE pid = " + std::to_string(pid)),
                      std::vector<std::string>{"idle"});
            co_await db.rollback();
            co_await db.close();
            EXPECT_EQ(count_rows(), "0");
            EXPECT_EQ(pool->idle(), 1u);
        }
    }());
}

TEST_F(Transactions, CloseRollsBackAndTheConnectionIsReusedClean) {
    run([&]() -> awaitable<void> {
        std::int64_t first_pid = 0;
        {
            Session db(pool);
            first_pid = co_await backend_pid(db);
            co_await insert(db, 1);
            co_await db.close();
            EXPECT_FALSE(db.has_connection());
        }
        EXPECT_EQ(count_rows(), "0");
        EXPECT_EQ(pool->idle(), 1u);

        Session next(pool);
        EXPECT_EQ(co_await backend_pid(next), first_pid);
        co_await insert(next, 1);  // the key is free again: the first insert was undone
        co_await next.commit();
        co_await next.close();
        EXPECT_EQ(count_rows(), "1");
    }());
}

TEST_F(Transactions, ASessionDroppedWithoutCloseGivesBackOnlyACleanConnection) {
    run([&]() -> awaitable<void> {
        {
            Session committed(pool);
            co_await insert(committed, 1);
            co_await committed.commit();
        }
        EXPECT_EQ(pool->idle(), 1u);
        EXPECT_EQ(pool->open(), 1u);
        {
            Session open_transaction(pool);
            co_await insert(open_transaction, 2);
        }
        EXPECT_EQ(pool->idle(), 0u);
        EXPECT_EQ(pool->open(), 0u);
        EXPECT_EQ(count_rows(), "1");

        Session next(pool);  // the discarded place is opened again
        co_await insert(next, 2);
        co_await next.commit();
        co_await next.close();
        EXPECT_EQ(count_rows(), "2");
    }());
}

}  // namespace
}  // namespace kavara::test::database
