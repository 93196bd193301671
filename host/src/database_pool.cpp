#include "database_connection.hpp"
#include "database_params.hpp"
#include "host/database.hpp"

#include "host/metrics.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace host::database {
namespace asio = boost::asio;

struct Pool::Impl {
    // A session queued for a connection. Whoever frees one hands it over directly, so a
    // newcomer can never overtake the queue.
    struct Waiter {
        Waiter(Impl& pool_impl, const asio::any_io_executor& executor)
            : pool(pool_impl), wakeup(executor, asio::steady_timer::time_point::max()) {
            pool.waiters.push_back(this);
        }
        // A waiter that leaves early (cancelled) passes on what it was given.
        ~Waiter() {
            auto queued = std::find(pool.waiters.begin(), pool.waiters.end(), this);
            if (queued != pool.waiters.end())
                pool.waiters.erase(queued);
            if (handed)
                pool.give_back(std::move(handed));
            if (may_open)
                pool.free_place();
        }
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;

        Impl& pool;
        asio::steady_timer wakeup;
        std::unique_ptr<Connection> handed;  // a connection given back while queued
        bool may_open = false;               // a place freed for a new connection
    };

    Impl(asio::any_io_executor pool_executor, PoolOptions pool_options)
        : executor(std::move(pool_executor)), options(std::move(pool_options)) {}

    // The most recently used first: its server process is the one most likely warm.
    std::unique_ptr<Connection> take_idle() {
        while (!idle.empty()) {
            std::unique_ptr<Connection> connection = std::move(idle.back());
            idle.pop_back();
            if (connection->check_alive())
                return connection;
            --open;
        }
        return nullptr;
    }

    // Opens a connection in a place already counted in `open`.
    awaitable<std::unique_ptr<Connection>> open_in_reserved_place() {
        try {
            co_return co_await Connection::open(executor, options);
        } catch (...) {
            free_place();
            throw;
        }
    }

    Waiter* next_waiter() {
        if (waiters.empty())
            return nullptr;
        Waiter* waiter = waiters.front();
        waiters.pop_front();
        return waiter;
    }

    void give_back(std::unique_ptr<Connection> connection) {
        if (Waiter* waiter = next_waiter()) {
            waiter->handed = std::move(connection);
            waiter->wakeup.cancel();
        } else {
            idle.push_back(std::move(connection));
        }
    }

    void free_place() {
        if (Waiter* waiter = next_waiter()) {
            waiter->may_open = true;
            waiter->wakeup.cancel();
        } else {
            --open;
        }
    }

    asio::any_io_executor executor;
    PoolOptions options;
    std::vector<std::unique_ptr<Connection>> idle;
    std::deque<Waiter*> waiters;
    std::size_t open = 0;
};

std::shared_ptr<Pool> Pool::create(asio::any_io_executor executor, PoolOptions options) {
    if (options.size == 0)
        throw std::invalid_argument("a database pool needs room for a connection");
    auto impl = std::make_unique<Impl>(std::move(executor), std::move(options));
    return std::shared_ptr<Pool>(new Pool(std::move(impl)));
}

Pool::Pool(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Pool::~Pool() = default;

const PoolOptions& Pool::options() const noexcept {
    return impl_->options;
}

std::size_t Pool::idle() const noexcept {
    return impl_->idle.size();
}

std::size_t Pool::open() const noexcept {
    return impl_->open;
}

namespace {

const metrics::Family kPoolInUse{"kavara_db_pool_connections_in_use", metrics::Kind::gauge,
                                 "Pooled PostgreSQL connections lent to requests."};
const metrics::Family kPoolWaiting{"kavara_db_pool_waiting_requests", metrics::Kind::gauge,
                                   "Requests waiting for a pooled PostgreSQL connection."};

}  // namespace

awaitable<std::unique_ptr<Connection>> Pool::acquire() {
    auto connection = co_await acquire_connection();
    metrics::add(kPoolInUse, {}, 1);
    co_return connection;
}

awaitable<std::unique_ptr<Connection>> Pool::acquire_connection() {
    Impl& pool = *impl_;
    if (pool.waiters.empty()) {
        if (auto connection = pool.take_idle())
            co_return connection;
        if (pool.open < pool.options.size) {
            ++pool.open;
            co_return co_await pool.open_in_reserved_place();
        }
    }
    Impl::Waiter waiter(pool, pool.executor);
    const metrics::GaugeHold waiting(kPoolWaiting, {});
    // The hand-over cancels the timer, so an aborted wait is either a hand-over or our caller
    // giving up; the waiter's fields tell which.
    co_await waiter.wakeup.async_wait(asio::as_tuple(asio::use_awaitable));
    if (waiter.handed)
        co_return std::move(waiter.handed);
    if (waiter.may_open) {
        waiter.may_open = false;
        co_return co_await pool.open_in_reserved_place();
    }
    throw boost::system::system_error(asio::error::operation_aborted);
}

void Pool::release(std::unique_ptr<Connection> connection) noexcept {
    if (!connection)
        return;
    metrics::add(kPoolInUse, {}, -1);
    if (connection->idle()) {
        impl_->give_back(std::move(connection));
    } else {
        connection.reset();
        impl_->free_place();
    }
}

namespace {

const std::string commit_sql = "COMMIT";
const std::string rollback_sql = "ROLLBACK";

// The statement in the text and parameters sent to the server, copied from the arguments.
struct Statement {
    std::string sql;
    TextParams values;
};

Statement wire_statement(std::string_view sql, const Params& params) {
    TranslatedSql statement = translate_named_params(sql, params);
    TextParams values = to_text_params(statement.values);
    return {std::move(statement.sql), std::move(values)};
}

}  // namespace

Session::Session(std::shared_ptr<Pool> pool) : pool_(std::move(pool)) {
    if (!pool_)
        throw std::invalid_argument("a database session needs a pool");
}

Session::~Session() {
    pool_->release(std::move(connection_));
}

bool Session::has_connection() const noexcept {
    return connection_ != nullptr;
}

awaitable<Result> Session::execute(std::string_view sql, const Params& params) {
    // Everything taken from the arguments is copied before the first suspension.
    Statement statement = wire_statement(sql, params);
    co_await lease();
    co_return co_await connection_->execute(statement.sql, statement.values,
                                            {.begin = opens_transaction()});
}

awaitable<Result> Session::execute_and_commit(std::string_view sql, const Params& params) {
    Statement statement = wire_statement(sql, params);
    co_await lease();
    std::exception_ptr failure;
    try {
        co_return co_await connection_->execute(statement.sql, statement.values,
                                                {.begin = opens_transaction(), .commit = true});
    } catch (const DatabaseError&) {
        failure = std::current_exception();
    }
    try {
        co_await rollback();
    } catch (const DatabaseError&) {
        // Still in the transaction (or broken), so the pool discards the connection.
    }
    std::rethrow_exception(failure);
}

awaitable<void> Session::lease() {
    if (!connection_)
        connection_ = co_await pool_->acquire();
}

bool Session::opens_transaction() const noexcept {
    return !connection_->broken() && !connection_->in_transaction();
}

awaitable<void> Session::commit() {
    if (!connection_)
        co_return;
    if (connection_->broken()) {
        throw DatabaseError("cannot commit: the database connection was lost", "08006");
    }
    if (!connection_->in_transaction())
        co_return;
    std::string tag = co_await connection_->command(commit_sql);
    require_committed(tag.c_str());
}

awaitable<void> Session::rollback() {
    if (!connection_ || connection_->broken() || !connection_->in_transaction())
        co_return;
    co_await connection_->command(rollback_sql);
}

awaitable<void> Session::close() {
    if (!connection_)
        co_return;
    if (!connection_->broken() && connection_->in_transaction()) {
        try {
            co_await connection_->command(rollback_sql);
        } catch (...) {
            // Still in the transaction, so the pool discards the connection, which ends the
            // transaction on the server as well.
        }
    }
    pool_->release(std::move(connection_));
}

namespace {

struct DefaultPoolSlot {
    std::mutex mutex;
    PoolOptions options;
    std::shared_ptr<Pool> pool;
};

DefaultPoolSlot& default_pool_slot() {
    // The loop is created first so that it outlives the pool, whose sockets it watches.
    (void)host::event_loop();
    static DefaultPoolSlot slot;
    return slot;
}

}  // namespace

void configure_default_pool(PoolOptions options) {
    DefaultPoolSlot& slot = default_pool_slot();
    std::lock_guard lock(slot.mutex);
    slot.options = std::move(options);
}

std::shared_ptr<Pool> default_pool() {
    DefaultPoolSlot& slot = default_pool_slot();
    std::lock_guard lock(slot.mutex);
    if (!slot.pool) {
        if (slot.options.conninfo.empty())
            throw DatabaseError("DATABASE_URL is not set; it must hold the database's libpq URI");
        slot.pool = Pool::create(host::event_loop().get_executor(), slot.options);
    }
    return slot.pool;
}

void set_default_pool(std::shared_ptr<Pool> pool) {
    DefaultPoolSlot& slot = default_pool_slot();
    std::lock_guard lock(slot.mutex);
    slot.pool = std::move(pool);
}

std::unique_ptr<Session> get_db() {
    return std::make_unique<Session>(default_pool());
}

}  // namespace host::database
