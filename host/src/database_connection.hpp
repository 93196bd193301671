#pragma once

#include "database_params.hpp"
#include "host/database.hpp"
#include "prepared_statements.hpp"

#include <libpq-fe.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host::database {

// libpq's socket as Asio sees it: Asio only waits on it, libpq keeps it and closes it.
class BorrowedSocket {
  public:
    BorrowedSocket(const boost::asio::any_io_executor& executor, int fd)
        : fd_(fd), descriptor_(executor, fd) {}
    ~BorrowedSocket() { descriptor_.release(); }
    BorrowedSocket(const BorrowedSocket&) = delete;
    BorrowedSocket& operator=(const BorrowedSocket&) = delete;

    int fd() const noexcept { return fd_; }
    // Completes with the wait's error code; a cancelled wait rethrows as the cancellation.
    awaitable<boost::system::error_code> wait(boost::asio::posix::descriptor_base::wait_type type);

  private:
    int fd_;
    boost::asio::posix::stream_descriptor descriptor_;
};

struct PGconnDeleter {
    void operator()(PGconn* connection) const noexcept { PQfinish(connection); }
};
using PGconnPtr = std::unique_ptr<PGconn, PGconnDeleter>;

struct PGresultDeleter {
    void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using PGresultPtr = std::unique_ptr<PGresult, PGresultDeleter>;

// COMMIT of a failed transaction succeeds as a ROLLBACK; the work is lost all the same, so that
// tag is a DatabaseError.
void require_committed(const char* command_tag);

// What goes with a statement in its round trip: BEGIN before it, COMMIT after it.
struct Framing {
    bool begin = false;
    bool commit = false;
};

// One nonblocking libpq connection driven by the event loop, in pipeline mode for each round
// trip: what a call sends goes out in one write and its answers are read up to the last sync
// point, so the connection is never left between two answers. Every statement is sent with text
// parameters and asks for binary results, as a statement the connection prepares at first use
// and keeps (see PreparedStatements). Failures are DatabaseErrors; once the connection is lost
// it stays broken and the pool discards it.
class Connection {
  public:
    // Connects within options.connect_timeout seconds.
    static awaitable<std::unique_ptr<Connection>> open(boost::asio::any_io_executor executor,
                                                       const PoolOptions& options);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs one statement framed as asked, in one round trip (its first use also prepares it
    // there). The first failure of BEGIN, the statement or COMMIT is the DatabaseError; the
    // server skips the rest, so a failed statement leaves an aborted transaction. A COMMIT that
    // the server turns into a ROLLBACK is a DatabaseError "transaction was aborted". A statement
    // the server has lost or can no longer run (26000, or a cached plan whose result type
    // changed) is prepared again once when its transaction began in the same round trip. When
    // the wait is cancelled after sending, the server is asked to cancel and the round trip is
    // drained before the cancellation goes on.
    awaitable<Result> execute(const std::string& sql, const TextParams& params, Framing framing);
    // Runs a statement without parameters, unprepared, and returns its command tag ("COMMIT",
    // "ROLLBACK").
    awaitable<std::string> command(const std::string& sql);

    // Completes once the server has sent at least one notification (LISTEN), at once when one
    // arrived during an earlier statement; returns how many it took. Throws DatabaseError when
    // the connection is lost. Only between statements.
    awaitable<std::size_t> wait_for_notifications();

    bool broken() const noexcept;
    // Inside BEGIN ... COMMIT, including a failed transaction.
    bool in_transaction() const noexcept;
    // Healthy, outside a transaction and not running a statement: fit for the next session.
    bool idle() const noexcept;
    // Notices a server that closed the connection while it sat idle.
    bool check_alive();

  private:
    // The answers of a round trip as they arrive: one outcome per command.
    struct Answers;
    // Where the commands of the statement's segment are in the round trip.
    struct Plan;

    Connection(boost::asio::any_io_executor executor, PGconnPtr connection,
               std::size_t prepared_statements);

    awaitable<void> handshake();
    awaitable<void> wait_socket(boost::asio::posix::descriptor_base::wait_type type);
    // Sends the round trip of one statement; what it prepares is remembered once answered.
    Plan send_statement(const std::string& sql, const TextParams& params, Framing framing);
    // Enters pipeline mode; outside a transaction, the evicted prepared statements are
    // deallocated first in a segment of their own, whose failures are only logged.
    std::size_t start_round_trip();
    // The index of a command libpq has queued; throws when it refused.
    std::size_t queued(int accepted);
    void end_segment();
    void remember_prepared(const std::string& sql, const Plan& plan, const Answers& answers);
    Result statement_result(Answers& answers, const Plan& plan) const;
    // Flushes and reads up to the last sync point; on cancellation asks the server to cancel
    // and drains before rethrowing.
    awaitable<void> round_trip(Answers& answers);
    awaitable<void> finish_round_trip(Answers& answers);
    awaitable<void> flush();
    awaitable<void> read_answers(Answers& answers);
    awaitable<void> read_until_ready();
    std::size_t take_notifications();
    awaitable<void> abandon_round_trip(Answers& answers);
    awaitable<bool> request_cancel();
    void throw_if_failed(const PGresult* result) const;
    // Throws what libpq says when it refuses to queue a command; the round trip is then only
    // partly queued, so the connection cannot be used again.
    [[noreturn]] void refused_to_queue();
    // Forgets libpq's socket once libpq has dropped it, so that Asio never touches a closed
    // descriptor whose number may already belong to someone else.
    void note_if_lost();
    void mark_broken() noexcept;
    // libpq's notice hook; also hears the error a server sends before closing an idle
    // connection.
    static void receive_notice(void* self, const PGresult* notice);
    DatabaseError lost_error() const;

    boost::asio::any_io_executor executor_;
    PGconnPtr connection_;
    std::optional<BorrowedSocket> socket_;
    PreparedStatements statements_;
    int syncs_queued_ = 0;  // sync points of the round trip being queued
    std::size_t commands_queued_ = 0;
    bool broken_ = false;
    bool running_ = false;
    bool server_said_goodbye_ = false;
};

}  // namespace host::database
