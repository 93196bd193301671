#include "database_connection.hpp"

#include "database_result.hpp"
#include "host/logging.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <fmt/format.h>
#include <poll.h>

#include <cctype>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <vector>

namespace host::database {
namespace asio = boost::asio;
using wait_type = asio::posix::descriptor_base::wait_type;

namespace {

// After a cancel request the server answers at once; one that stays silent this long is
// treated as gone.
constexpr double drain_limit_seconds = 5.0;
// The protocol's limit on the parameters of one statement.
constexpr std::size_t max_parameters = 65535;

const std::string lost_sqlstate = "08006";     // connection_failure
const std::string connect_sqlstate = "08001";  // sqlclient_unable_to_establish_sqlconnection

const std::string begin_sql = "BEGIN";
const std::string commit_sql = "COMMIT";
const std::string rollback_sql = "ROLLBACK";
// Text parameters (server-side parsing into any type), binary results (raw bytea).
constexpr int binary_results = 1;

Logger& log() {
    static Logger logger = get_logger("kavara.database");
    return logger;
}

// libpq's messages span lines ("...\n\tIs the server running..."); logs want one line.
std::string one_line(const char* message) {
    std::string text;
    bool pending_space = false;
    for (const char* c = message ? message : ""; *c; ++c) {
        if (std::isspace(static_cast<unsigned char>(*c))) {
            pending_space = !text.empty();
            continue;
        }
        if (pending_space)
            text += ' ';
        pending_space = false;
        text += *c;
    }
    return text;
}

DatabaseError connect_error(const std::string& reason) {
    return DatabaseError("could not connect to the database: " + reason, connect_sqlstate);
}

DatabaseError connect_error(PGconn* connection) {
    return connect_error(one_line(PQerrorMessage(connection)));
}

bool is_error(const PGresult* result) {
    switch (PQresultStatus(result)) {
        case PGRES_FATAL_ERROR:
        case PGRES_NONFATAL_ERROR:
        case PGRES_BAD_RESPONSE:
            return true;
        default:
            return false;
    }
}

bool is_copy(const PGresult* result) {
    switch (PQresultStatus(result)) {
        case PGRES_COPY_IN:
        case PGRES_COPY_OUT:
        case PGRES_COPY_BOTH:
            return true;
        default:
            return false;
    }
}

bool has_state(const char* sqlstate, const char* wanted) {
    return sqlstate && std::strcmp(sqlstate, wanted) == 0;
}

// A prepared statement that has to be prepared again: the server no longer has it
// (invalid_sql_statement_name, after a DEALLOCATE ALL), or its cached plan cannot be brought up
// to date because a table it reads changed its columns ("cached plan must not change result
// type", raised where the cache revalidates).
bool is_stale_statement(const PGresult* result) {
    if (!result || PQresultStatus(result) != PGRES_FATAL_ERROR)
        return false;
    const char* sqlstate = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    const char* function = PQresultErrorField(result, PG_DIAG_SOURCE_FUNCTION);
    return has_state(sqlstate, "26000") ||
           (has_state(sqlstate, "0A000") && has_state(function, "RevalidateCachedQuery"));
}

std::vector<const char*> value_pointers(const TextParams& params) {
    std::vector<const char*> values;
    values.reserve(params.size());
    for (const auto& param : params)
        values.push_back(param ? param->c_str() : nullptr);
    return values;
}

bool readable_now(int fd) {
    pollfd probe{fd, POLLIN, 0};
    return fd >= 0 && ::poll(&probe, 1, 0) > 0;
}

struct PGcancelDeleter {
    void operator()(PGcancel* cancel) const noexcept { PQfreeCancel(cancel); }
};

// Keeps the flag set while a statement is on the wire, whichever way the statement ends.
class RunningFlag {
  public:
    explicit RunningFlag(bool& flag) : flag_(flag) { flag_ = true; }
    ~RunningFlag() { flag_ = false; }
    RunningFlag(const RunningFlag&) = delete;
    RunningFlag& operator=(const RunningFlag&) = delete;

  private:
    bool& flag_;
};

}  // namespace

struct Connection::Answers {
    std::vector<PGresultPtr> outcomes;  // of the commands answered so far, in the order sent
    PGresultPtr current;                // of the command being answered
    int syncs_expected = 0;
    int syncs_seen = 0;

    // A command yields its results and then a null; the first error explains a failure best.
    void add(PGresultPtr result) {
        if (!current || !is_error(current.get()))
            current = std::move(result);
    }
    void end_command() { outcomes.push_back(std::move(current)); }
    // Null for a command left unanswered by a lost connection.
    const PGresult* outcome(std::size_t index) const {
        return index < outcomes.size() ? outcomes[index].get() : nullptr;
    }
};

struct Connection::Plan {
    std::size_t first = 0;  // the segment's first command (deallocations come before it)
    std::size_t end = 0;    // one past its last
    std::optional<std::size_t> prepare;
    std::size_t statement = 0;
    std::optional<std::size_t> commit;
    std::string name;     // of the prepared statement; empty when sent unprepared
    bool reused = false;  // prepared in an earlier round trip
};

void require_committed(const char* command_tag) {
    if (std::strcmp(command_tag, "ROLLBACK") == 0)
        throw DatabaseError("transaction was aborted", "25P02");
}

awaitable<boost::system::error_code> BorrowedSocket::wait(wait_type type) {
    auto [ec] = co_await descriptor_.async_wait(type, asio::as_tuple(asio::use_awaitable));
    if (ec == asio::error::operation_aborted)
        throw boost::system::system_error(ec);
    co_return ec;
}

Connection::Connection(asio::any_io_executor executor, PGconnPtr connection,
                       std::size_t prepared_statements)
    : executor_(std::move(executor)),
      connection_(std::move(connection)),
      statements_(prepared_statements) {}

// The socket is given back to libpq before PQfinish closes it.
Connection::~Connection() {
    socket_.reset();
}

awaitable<std::unique_ptr<Connection>> Connection::open(asio::any_io_executor executor,
                                                        const PoolOptions& options) {
    // A name of our own unless the connection string picks one, so our sessions can be told
    // apart in pg_stat_activity.
    const char* const keywords[] = {"dbname", "fallback_application_name", nullptr};
    const char* const values[] = {options.conninfo.c_str(), "kavara", nullptr};
    PGconnPtr pg(PQconnectStartParams(keywords, values, 1));
    if (!pg)
        throw connect_error("out of memory");
    if (PQstatus(pg.get()) == CONNECTION_BAD)
        throw connect_error(pg.get());
    std::unique_ptr<Connection> connection(
        new Connection(executor, std::move(pg), options.prepared_statements));
    bool timed_out = false;
    try {
        co_await host::wait_for(connection->handshake(), options.connect_timeout);
    } catch (const TimeoutError&) {
        timed_out = true;
    } catch (const boost::system::system_error& e) {
        // Asio's own failures (registering the socket) are connect failures too.
        if (e.code() == asio::error::operation_aborted)
            throw;
        throw connect_error(e.code().message());
    }
    if (timed_out) {
        // A cancelled caller also stops the time limit's timer; that is no time-out.
        auto state = co_await asio::this_coro::cancellation_state;
        if (state.cancelled() != asio::cancellation_type::none) {
            throw boost::system::system_error(asio::error::operation_aborted);
        }
        throw connect_error(fmt::format("no answer within {} s", options.connect_timeout));
    }
    co_return connection;
}

awaitable<void> Connection::handshake() {
    PGconn* pg = connection_.get();
    // libpq's rule for a fresh connection: behave as if the poll asked for writing.
    PostgresPollingStatusType status = PGRES_POLLING_WRITING;
    while (status != PGRES_POLLING_OK) {
        if (status == PGRES_POLLING_FAILED || PQsocket(pg) < 0)
            throw connect_error(pg);
        {
            // libpq may move to another socket between steps (another address of the host).
            BorrowedSocket step(executor_, PQsocket(pg));
            auto ec = co_await step.wait(status == PGRES_POLLING_READING ? wait_type::wait_read
                                                                         : wait_type::wait_write);
            if (ec)
                throw connect_error(ec.message());
        }
        status = PQconnectPoll(pg);
    }
    if (PQsetnonblocking(pg, 1) != 0)
        throw connect_error(pg);
    PQsetNoticeReceiver(pg, receive_notice, this);
    socket_.emplace(executor_, PQsocket(pg));
}

awaitable<Result> Connection::execute(const std::string& sql, const TextParams& params,
                                      Framing framing) {
    if (params.size() > max_parameters) {
        throw std::invalid_argument("a statement takes at most 65535 parameters");
    }
    for (bool retried = false;; retried = true) {
        Plan plan = send_statement(sql, params, framing);
        Answers answers;
        try {
            co_await round_trip(answers);
        } catch (...) {
            remember_prepared(sql, plan, answers);  // a drained round trip may have prepared it
            throw;
        }
        remember_prepared(sql, plan, answers);
        if (plan.reused && is_stale_statement(answers.outcome(plan.statement))) {
            statements_.retire(sql);
            // The failure aborted only our own BEGIN's transaction, so it can be run again.
            if (framing.begin && !retried) {
                co_await command(rollback_sql);
                continue;
            }
        }
        co_return statement_result(answers, plan);
    }
}

awaitable<std::string> Connection::command(const std::string& sql) {
    const std::size_t index = start_round_trip();
    queued(PQsendQueryParams(connection_.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                             binary_results));
    end_segment();
    Answers answers;
    co_await round_trip(answers);
    const PGresult* outcome = answers.outcome(index);
    if (!outcome)
        throw lost_error();
    throw_if_failed(outcome);
    co_return std::string(PQcmdStatus(const_cast<PGresult*>(outcome)));
}

Connection::Plan Connection::send_statement(const std::string& sql, const TextParams& params,
                                            Framing framing) {
    Plan plan;
    if (statements_.enabled()) {
        if (auto name = statements_.find(sql)) {
            plan.name = std::move(*name);
            plan.reused = true;
        } else {
            plan.name = statements_.reserve();  // before the round trip starts: it deallocates
        }
    }
    plan.first = start_round_trip();
    PGconn* pg = connection_.get();
    const auto values = value_pointers(params);
    const int count = static_cast<int>(values.size());
    if (framing.begin) {
        queued(PQsendQueryParams(pg, begin_sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr,
                                 binary_results));
    }
    if (plan.name.empty()) {
        plan.statement = queued(PQsendQueryParams(pg, sql.c_str(), count, nullptr, values.data(),
                                                  nullptr, nullptr, binary_results));
    } else {
        // No parameter types: the server infers them as it does for an unprepared statement.
        if (!plan.reused)
            plan.prepare =
                queued(PQsendPrepare(pg, plan.name.c_str(), sql.c_str(), count, nullptr));
        plan.statement = queued(PQsendQueryPrepared(pg, plan.name.c_str(), count, values.data(),
                                                    nullptr, nullptr, binary_results));
    }
    if (framing.commit) {
        plan.commit = queued(PQsendQueryParams(pg, commit_sql.c_str(), 0, nullptr, nullptr, nullptr,
                                               nullptr, binary_results));
    }
    plan.end = commands_queued_;
    end_segment();
    return plan;
}

std::size_t Connection::start_round_trip() {
    if (running_)
        throw std::logic_error("a statement is already running on this connection");
    if (broken())
        throw lost_error();
    const bool outside_transaction = !in_transaction();
    if (!PQenterPipelineMode(connection_.get()))
        refused_to_queue();
    commands_queued_ = 0;
    syncs_queued_ = 0;
    // A DEALLOCATE would abort an open transaction if it failed. It fails only for a name the
    // server has lost, which needs no deallocation, so its answer is not looked at.
    if (outside_transaction) {
        auto names = statements_.take_evicted();
        for (const auto& name : names) {
            std::string deallocate = "DEALLOCATE \"" + name + "\"";
            queued(PQsendQueryParams(connection_.get(), deallocate.c_str(), 0, nullptr, nullptr,
                                     nullptr, nullptr, binary_results));
        }
        if (!names.empty())
            end_segment();
    }
    return commands_queued_;
}

std::size_t Connection::queued(int accepted) {
    if (!accepted)
        refused_to_queue();
    return commands_queued_++;
}

void Connection::end_segment() {
    if (!PQpipelineSync(connection_.get()))
        refused_to_queue();
    ++syncs_queued_;
}

void Connection::refused_to_queue() {
    std::string reason = one_line(PQerrorMessage(connection_.get()));
    note_if_lost();
    const bool lost = broken_;
    mark_broken();
    if (lost)
        throw lost_error();
    throw DatabaseError(reason);
}

void Connection::remember_prepared(const std::string& sql, const Plan& plan,
                                   const Answers& answers) {
    if (!plan.prepare)
        return;
    const PGresult* prepared = answers.outcome(*plan.prepare);
    if (prepared && PQresultStatus(prepared) == PGRES_COMMAND_OK)
        statements_.add(sql, plan.name);
}

Result Connection::statement_result(Answers& answers, const Plan& plan) const {
    // The server skips what follows a failure, so the first failure is the one to report.
    for (std::size_t i = plan.first; i < plan.end; ++i) {
        const PGresult* outcome = answers.outcome(i);
        if (!outcome)
            throw lost_error();
        throw_if_failed(outcome);
    }
    if (plan.commit)
        require_committed(PQcmdStatus(answers.outcomes[*plan.commit].get()));
    return make_result(answers.outcomes[plan.statement].release());
}

awaitable<void> Connection::round_trip(Answers& answers) {
    RunningFlag running(running_);
    answers.syncs_expected = syncs_queued_;
    std::exception_ptr cancellation;
    try {
        co_await finish_round_trip(answers);
        co_return;
    } catch (const boost::system::system_error& e) {
        // Our waits report only cancellation this way; anything else is a failed socket.
        if (e.code() != asio::error::operation_aborted) {
            mark_broken();
            throw DatabaseError(std::string("database connection failed: ") + e.what(),
                                lost_sqlstate);
        }
        cancellation = std::current_exception();
    }
    // The cancellation has been seen; clearing it lets the clean-up wait (a cancelled
    // coroutine would fail its next co_await at once).
    co_await asio::this_coro::reset_cancellation_state();
    co_await abandon_round_trip(answers);
    std::rethrow_exception(cancellation);
}

awaitable<void> Connection::finish_round_trip(Answers& answers) {
    co_await flush();
    co_await read_answers(answers);
    // Outside pipeline mode libpq tells the transaction status again.
    if (!broken_ && !PQexitPipelineMode(connection_.get()))
        mark_broken();
}

awaitable<void> Connection::flush() {
    for (;;) {
        int pending = PQflush(connection_.get());
        if (pending == 0)
            co_return;
        if (pending < 0) {
            mark_broken();
            throw lost_error();
        }
        co_await wait_socket(wait_type::wait_write);
    }
}

awaitable<void> Connection::wait_socket(wait_type type) {
    if (!socket_)
        throw lost_error();
    auto ec = co_await socket_->wait(type);
    if (ec) {
        mark_broken();
        throw DatabaseError("database connection failed: " + ec.message(), lost_sqlstate);
    }
}

awaitable<void> Connection::read_answers(Answers& answers) {
    PGconn* pg = connection_.get();
    while (answers.syncs_seen < answers.syncs_expected) {
        co_await read_until_ready();
        PGresultPtr next(PQgetResult(pg));
        if (!next) {
            note_if_lost();
            // A lost connection yields nulls only; what arrived before it explains the loss.
            if (broken_)
                co_return;
            answers.end_command();
        } else if (PQresultStatus(next.get()) == PGRES_PIPELINE_SYNC) {
            ++answers.syncs_seen;
        } else if (is_copy(next.get())) {
            // A COPY would hold the connection in a mode the session cannot leave.
            mark_broken();
            throw DatabaseError("COPY is not supported on a session");
        } else {
            answers.add(std::move(next));
        }
    }
}

awaitable<void> Connection::read_until_ready() {
    PGconn* pg = connection_.get();
    while (PQisBusy(pg)) {
        co_await wait_socket(wait_type::wait_read);
        // On a failed read libpq keeps what the server said last (a FATAL message before it
        // hung up) for PQgetResult, which is the better error to report.
        if (!PQconsumeInput(pg)) {
            note_if_lost();
            if (PQisBusy(pg)) {
                mark_broken();
                throw lost_error();
            }
        }
    }
}

awaitable<void> Connection::abandon_round_trip(Answers& answers) {
    if (broken_)
        co_return;
    if (!co_await request_cancel()) {
        mark_broken();
        co_return;
    }
    try {
        co_await host::wait_for(finish_round_trip(answers), drain_limit_seconds);
    } catch (const std::exception& e) {
        log()->warn("Discarding a database connection after a cancelled statement: {}", e.what());
        mark_broken();
    }
}

awaitable<bool> Connection::request_cancel() {
    std::unique_ptr<PGcancel, PGcancelDeleter> cancel(PQgetCancel(connection_.get()));
    if (!cancel)
        co_return false;
    // PQcancel opens a connection of its own and waits for it: not on the loop. The function
    // only borrows the cancel object (which outlives the wait): with g++ 12 a coroutine that
    // carries a move-only capture destroys it twice.
    PGcancel* request = cancel.get();
    auto failure = co_await host::run_blocking([request]() -> std::string {
        char error[256] = {};
        return PQcancel(request, error, sizeof error) == 1 ? std::string() : one_line(error);
    });
    if (!failure.empty())
        log()->warn("Database cancel request failed: {}", failure);
    co_return failure.empty();
}

void Connection::throw_if_failed(const PGresult* failed) const {
    if (!is_error(failed))
        return;
    const char* primary = PQresultErrorField(failed, PG_DIAG_MESSAGE_PRIMARY);
    const char* sqlstate = PQresultErrorField(failed, PG_DIAG_SQLSTATE);
    // Errors raised by libpq itself (a vanished server) carry no primary message or SQLSTATE.
    std::string message = primary ? primary : one_line(PQresultErrorMessage(failed));
    if (sqlstate)
        throw DatabaseError(message, sqlstate);
    throw DatabaseError(message, broken() ? lost_sqlstate : std::string());
}

bool Connection::broken() const noexcept {
    return broken_ || PQstatus(connection_.get()) != CONNECTION_OK;
}

bool Connection::in_transaction() const noexcept {
    switch (PQtransactionStatus(connection_.get())) {
        case PQTRANS_ACTIVE:
        case PQTRANS_INTRANS:
        case PQTRANS_INERROR:
            return true;
        default:
            return false;
    }
}

bool Connection::idle() const noexcept {
    return !broken() && !running_ && !in_transaction();
}

std::size_t Connection::take_notifications() {
    std::size_t taken = 0;
    while (PGnotify* notification = PQnotifies(connection_.get())) {
        PQfreemem(notification);
        ++taken;
    }
    return taken;
}

awaitable<std::size_t> Connection::wait_for_notifications() {
    PGconn* pg = connection_.get();
    for (;;) {
        if (const std::size_t taken = take_notifications())
            co_return taken;
        if (broken_)
            throw lost_error();
        co_await wait_socket(wait_type::wait_read);
        const bool read = PQconsumeInput(pg) != 0;
        PQisBusy(pg);  // parses what arrived: notifications, or the server's last words
        note_if_lost();
        if (!read || server_said_goodbye_) {
            mark_broken();
            throw lost_error();
        }
    }
}

bool Connection::check_alive() {
    PGconn* pg = connection_.get();
    // An idle connection only becomes readable when the server has something unasked to say,
    // in practice its last words before closing: a FATAL error, then the end of the stream.
    while (!broken() && readable_now(PQsocket(pg))) {
        if (!PQconsumeInput(pg))
            break;
        PQisBusy(pg);  // parses what arrived; an error while idle goes to receive_notice
    }
    note_if_lost();
    if (server_said_goodbye_)
        mark_broken();
    return !broken();
}

void Connection::receive_notice(void* self, const PGresult* notice) {
    const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
    bool fatal =
        severity && (std::strcmp(severity, "FATAL") == 0 || std::strcmp(severity, "PANIC") == 0);
    if (fatal)
        static_cast<Connection*>(self)->server_said_goodbye_ = true;
    log()->debug("database notice: {}", one_line(PQresultErrorMessage(notice)));
}

void Connection::note_if_lost() {
    bool socket_changed = socket_ && PQsocket(connection_.get()) != socket_->fd();
    if (PQstatus(connection_.get()) == CONNECTION_BAD || socket_changed)
        mark_broken();
}

void Connection::mark_broken() noexcept {
    broken_ = true;
    socket_.reset();
}

DatabaseError Connection::lost_error() const {
    std::string reason = one_line(PQerrorMessage(connection_.get()));
    return DatabaseError(
        "the database connection is broken" + (reason.empty() ? std::string() : ": " + reason),
        lost_sqlstate);
}

}  // namespace host::database
