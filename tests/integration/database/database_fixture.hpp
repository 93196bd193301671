#pragma once

#include "host/database.hpp"
#include "support.hpp"

#include <libpq-fe.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <unistd.h>
#include <chrono>
#include <memory>
#include <string>

namespace kavara::test::database {

using host::awaitable;
using namespace host::database;

// Our connections carry a name of their own so that pg_stat_activity shows only this process's
// sessions, not those of other test programs sharing the server.
inline std::string application_name() {
    return "kavara-dbtest-" + std::to_string(::getpid());
}

inline std::string conninfo_with_port(std::uint16_t port) {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(port) +
           "/kavara?application_name=" + application_name();
}

inline std::string our_conninfo() {
    std::string url = database_url();
    return url + (url.find('?') == std::string::npos ? "?" : "&") +
           "application_name=" + application_name();
}

inline std::shared_ptr<Pool> make_pool(std::size_t size, std::string conninfo = our_conninfo(),
                                       double connect_timeout = 5.0) {
    PoolOptions options;
    options.conninfo = std::move(conninfo);
    options.size = size;
    options.connect_timeout = connect_timeout;
    return Pool::create(host::event_loop().get_executor(), options);
}

inline awaitable<void> sleep_for(std::chrono::milliseconds duration) {
    boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, duration);
    co_await timer.async_wait(boost::asio::use_awaitable);
}

inline awaitable<std::int64_t> backend_pid(Session& db) {
    auto result = co_await db.execute("SELECT pg_backend_pid()");
    co_return result.scalar_one_or_none()->as_int();
}

// Runs `statement` and returns the SQLSTATE of the DatabaseError it must raise.
inline awaitable<std::string> failure_state(Session& db, std::string statement) {
    try {
        co_await db.execute(statement);
    } catch (const DatabaseError& e) {
        co_return e.sqlstate();
    }
    co_return "no error";
}

// Statements of this process that the server is still running.
inline int active_statements() {
    return std::stoi(sql("SELECT count(*) FROM pg_stat_activity WHERE application_name = '" +
                         application_name() + "' AND state = 'active'")[0]);
}

// A table of this process's own, so that parallel test programs do not meet.
class TestTable {
  public:
    explicit TestTable(const std::string& purpose)
        : name_("kavara_dbtest_" + purpose + "_" + std::to_string(::getpid())) {
        sql("SET client_min_messages TO warning; DROP TABLE IF EXISTS " + name_);
        sql("CREATE TABLE " + name_ + " (id integer PRIMARY KEY, label text)");
    }
    ~TestTable() {
        try {
            sql("DROP TABLE IF EXISTS " + name_);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "dropping " << name_ << ": " << e.what();
        }
    }
    TestTable(const TestTable&) = delete;
    TestTable& operator=(const TestTable&) = delete;
    const std::string& name() const { return name_; }

  private:
    std::string name_;
};

// A blocking connection of the test's own, for holding a lock across statements.
class BlockingConnection {
  public:
    BlockingConnection() : connection_(PQconnectdb(database_url().c_str()), PQfinish) {
        if (PQstatus(connection_.get()) != CONNECTION_OK) {
            throw std::runtime_error(PQerrorMessage(connection_.get()));
        }
    }
    void exec(const std::string& statement) {
        std::unique_ptr<PGresult, void (*)(PGresult*)> result(
            PQexec(connection_.get(), statement.c_str()), PQclear);
        auto status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            throw std::runtime_error(PQerrorMessage(connection_.get()));
        }
    }

  private:
    std::unique_ptr<PGconn, void (*)(PGconn*)> connection_;
};

}  // namespace kavara::test::database
