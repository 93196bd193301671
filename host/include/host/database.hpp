#pragma once

#include "host/bytes.hpp"
#include "host/runtime.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace host::database {

// The decoded form of one statement's answer, shared by its Result, Rows and Fields.
struct ResultData;

// Every failure reported by the database or the driver (statement error, lost connection,
// connection refused). Time-outs are host::TimeoutError, a different family.
class DatabaseError : public std::runtime_error {
  public:
    DatabaseError(const std::string& message, std::string sqlstate = {})
        : std::runtime_error(message), sqlstate_(std::move(sqlstate)) {}
    const std::string& sqlstate() const noexcept { return sqlstate_; }

  private:
    std::string sqlstate_;
};

// A bound value. Null, integers, reals, booleans and text; bytes travel as text of type bytea.
using Value = std::variant<std::monostate, std::int64_t, double, bool, std::string>;
using Params = std::vector<std::pair<std::string, Value>>;

// The SQL with every ":name" replaced by "$n" (n in order of first appearance) and the values
// in that order. "::" casts, quoted text ('...'), quoted identifiers ("...") and comments are
// left alone. A name without a value throws std::invalid_argument.
struct TranslatedSql {
    std::string sql;
    std::vector<const Value*> values;
};
TranslatedSql translate_named_params(std::string_view sql, const Params& params);

// One field of a result row, received in binary format.
class Field {
  public:
    Field() = default;
    Field(std::uint32_t type_oid, std::optional<Bytes> raw)
        : oid_(type_oid), raw_(std::move(raw)) {}

    bool is_null() const noexcept { return !raw_.has_value(); }
    std::uint32_t type_oid() const noexcept { return oid_; }
    // The raw binary value (for bytea the bytes themselves). Empty when null.
    Bytes bytes() const;
    // Text types (text, varchar, name, bpchar, json) as text; other types throw DatabaseError.
    std::string text() const;
    // int2/int4/int8/float4/float8/numeric as a real; other types throw DatabaseError.
    double as_double() const;
    // int2/int4/int8 as an integer; other types throw DatabaseError.
    std::int64_t as_int() const;
    bool as_bool() const;

  private:
    std::uint32_t oid_ = 0;
    std::optional<Bytes> raw_;
};

class Row {
  public:
    Row(std::shared_ptr<const ResultData> data, int row) : data_(std::move(data)), row_(row) {}
    // The field of that column name; throws std::out_of_range for an unknown column.
    Field operator[](std::string_view column) const;
    Field at(int column) const;
    int size() const;

  private:
    std::shared_ptr<const ResultData> data_;
    int row_;
};

class Result {
  public:
    Result() = default;
    explicit Result(std::shared_ptr<const ResultData> data) : data_(std::move(data)) {}

    int rows() const;
    int columns() const;
    // The single value of the single row, or null when there is no row or the value is null.
    std::optional<Field> scalar_one_or_none() const;
    // The first row, or null when there is none.
    std::optional<Row> first() const;
    Row row(int index) const;

  private:
    std::shared_ptr<const ResultData> data_;
};

struct PoolOptions {
    std::string conninfo;  // libpq URI or key=value string
    std::size_t size = 8;  // most connections open at once
    double connect_timeout = 5.0;
    // Statements each connection keeps prepared on the server, the least recently used given
    // up first; 0 parses and plans every statement afresh.
    std::size_t prepared_statements = 256;
};

class Pool;
class Connection;  // one asynchronous libpq connection, private to the implementation

// A database session for one request. It leases a connection from the pool at its first
// statement and opens a transaction then; commit, rollback and close end it. close() gives the
// connection back to the pool (a broken one is discarded and replaced later). A session lives
// on the event-loop thread and runs one statement at a time. Each statement travels with what
// frames it (BEGIN, COMMIT) in one round trip, as a statement its connection prepared at first
// use.
class Session {
  public:
    explicit Session(std::shared_ptr<Pool> pool);
    // Gives the connection back when it is idle and clean, discards it otherwise.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Runs one statement. Cancelling the wait (for example by host::wait_for) cancels the
    // statement on the server before the cancellation completes; the session's transaction is
    // then aborted and must be rolled back.
    awaitable<Result> execute(std::string_view sql, const Params& params = {});
    // execute() and then commit(), in one round trip with the BEGIN when no transaction is open:
    // afterwards none is, so a later commit() or rollback() does nothing. A failure is the same
    // DatabaseError as theirs and the transaction is rolled back before it is passed on. A
    // cancelled wait leaves the transaction committed or aborted, as the server got that far;
    // close() ends an aborted one.
    awaitable<Result> execute_and_commit(std::string_view sql, const Params& params = {});
    // COMMIT of the open transaction; nothing without one. A transaction that failed earlier
    // is rolled back by the server and reported here as a DatabaseError.
    awaitable<void> commit();
    // ROLLBACK of the open transaction; nothing without one or on a lost connection, whose
    // transaction the server has already discarded.
    awaitable<void> rollback();
    // Rolls back what is still open and gives the connection back. Never fails: a connection
    // that cannot be cleaned is discarded instead.
    awaitable<void> close();

    bool has_connection() const noexcept;

  private:
    awaitable<void> lease();
    // No transaction is open on the leased connection, so the next statement begins one.
    bool opens_transaction() const noexcept;

    std::shared_ptr<Pool> pool_;
    std::unique_ptr<Connection> connection_;
};

// A fixed-size pool of libpq connections on the event loop, opened on demand. Waiters queue in
// order when all connections are leased. Used on the event-loop thread only.
class Pool {
  public:
    static std::shared_ptr<Pool> create(boost::asio::any_io_executor executor, PoolOptions options);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    const PoolOptions& options() const noexcept;
    // Connections open and waiting for a session.
    std::size_t idle() const noexcept;
    // Connections open or being opened, leased or idle.
    std::size_t open() const noexcept;

  private:
    friend class Session;
    struct Impl;
    explicit Pool(std::unique_ptr<Impl> impl);

    // A healthy connection: an idle one, a new one while fewer than `size` are open, or the
    // next one given back, in the order of asking.
    awaitable<std::unique_ptr<Connection>> acquire();
    awaitable<std::unique_ptr<Connection>> acquire_connection();
    // Keeps the connection for the next session when it is healthy and outside a transaction;
    // closes it otherwise, which frees its place for a new one.
    void release(std::unique_ptr<Connection> connection) noexcept;

    std::unique_ptr<Impl> impl_;
};

// The options the process's pool is created with: at its first use, or at the first use after
// set_default_pool(nullptr). Until options with a conninfo are given, that use throws a
// DatabaseError (the server takes the conninfo from DATABASE_URL).
void configure_default_pool(PoolOptions options);

// The process's pool, created from the configured options at first use.
std::shared_ptr<Pool> default_pool();
void set_default_pool(std::shared_ptr<Pool> pool);

// A new session on the process's pool.
std::unique_ptr<Session> get_db();

}  // namespace host::database
