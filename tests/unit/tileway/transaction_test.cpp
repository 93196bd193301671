// The transaction scope's calling order and error passing, against a session that fails on
// purpose at each step.
#include "tileway/transaction.hpp"
#include "support.hpp"

#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

namespace {

struct StepFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct FakeSession {
    std::vector<std::string> calls;
    bool fail_commit = false, fail_rollback = false, fail_close = false;

    host::awaitable<void> step(const char* name, bool fail) {
        calls.emplace_back(name);
        if (fail)
            throw StepFailed(std::string(name) + " failed");
        co_return;
    }
    host::awaitable<void> commit() { return step("commit", fail_commit); }
    host::awaitable<void> rollback() { return step("rollback", fail_rollback); }
    host::awaitable<void> close() { return step("close", fail_close); }
};

using Calls = std::vector<std::string>;

std::string outcome(FakeSession& db, std::function<host::awaitable<int>(FakeSession&)> body) {
    try {
        int value = kavara::test::run(tileway::db_transaction(db, body));
        return "value " + std::to_string(value);
    } catch (const std::exception& e) {
        return e.what();
    }
}

host::awaitable<int> succeeds(FakeSession& db) {
    db.calls.emplace_back("statement");
    co_return 7;
}
host::awaitable<int> fails(FakeSession& db) {
    db.calls.emplace_back("statement");
    throw StepFailed("database error");
    co_return 0;
}

TEST(TransactionScope, SuccessCommitsThenCloses) {
    FakeSession db;
    EXPECT_EQ(outcome(db, succeeds), "value 7");
    EXPECT_EQ(db.calls, (Calls{"statement", "commit", "close"}));
}

TEST(TransactionScope, BodyErrorRollsBackAndPassesTheSameError) {
    FakeSession db;
    try {
        kavara::test::run(tileway::db_transaction(db, fails));
        FAIL();
    } catch (const StepFailed& e) {
        EXPECT_STREQ(e.what(), "database error");
    }
    EXPECT_EQ(db.calls, (Calls{"statement", "rollback", "close"}));
}

TEST(TransactionScope, TimeoutOfTheBodyIsAnOrdinaryError) {
    FakeSession db;
    auto slow = [](FakeSession& s) -> host::awaitable<int> {
        s.calls.emplace_back("statement");
        auto sleeper = []() -> host::awaitable<int> {
            boost::asio::steady_timer t(co_await boost::asio::this_coro::executor,
                                        std::chrono::seconds(5));
            co_await t.async_wait(boost::asio::use_awaitable);
            co_return 1;
        };
        co_return co_await host::wait_for(sleeper(), 0.05);
    };
    EXPECT_THROW(kavara::test::run(tileway::db_transaction(db, slow)), host::TimeoutError);
    EXPECT_EQ(db.calls, (Calls{"statement", "rollback", "close"}));
}

TEST(TransactionScope, FailingStepsReplaceThePendingError) {
    FakeSession commit_fails;
    commit_fails.fail_commit = true;
    EXPECT_EQ(outcome(commit_fails, succeeds), "commit failed");
    EXPECT_EQ(commit_fails.calls, (Calls{"statement", "commit", "rollback", "close"}));

    FakeSession rollback_fails;
    rollback_fails.fail_rollback = true;
    EXPECT_EQ(outcome(rollback_fails, fails), "rollback failed");
    EXPECT_EQ(rollback_fails.calls, (Calls{"statement", "rollback", "close"}));

    FakeSession close_fails;
    close_fails.fail_close = true;
    EXPECT_EQ(outcome(close_fails, fails), "close failed");
    EXPECT_EQ(outcome(close_fails, succeeds), "close failed");
}

TEST(TransactionScope, CancellationOnlyCloses) {
    FakeSession db;
    auto cancelled = [](FakeSession& s) -> host::awaitable<int> {
        s.calls.emplace_back("statement");
        throw boost::system::system_error(boost::asio::error::operation_aborted);
        co_return 0;
    };
    EXPECT_THROW(kavara::test::run(tileway::db_transaction(db, cancelled)),
                 boost::system::system_error);
    EXPECT_EQ(db.calls, (Calls{"statement", "close"}));
}

}  // namespace
