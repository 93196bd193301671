#pragma once

#include "database_params.hpp"
#include "host/database.hpp"

#include <libpq-fe.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <memory>
#include <optional>
#include <string>

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

// One nonblocking libpq connection driven by the event loop. Every statement is sent with text
// parameters and asks for binary results. Failures are DatabaseErrors; once the connection is
// lost it stays broken and the pool discards it.
class Connection {
  public:
    // Connects within options.connect_timeout seconds.
    static awaitable<std::unique_ptr<Connection>> open(boost::asio::any_io_executor executor,
                                                       const PoolOptions& options);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Runs one statement. When the wait is cancelled after sending, the statement is cancelled
    // on the server and its results drained before the cancellation goes on.
    awaitable<Result> execute(const std::string& sql, const TextParams& params);
    // Runs a statement without parameters and returns its command tag ("COMMIT", "ROLLBACK").
    awaitable<std::string> command(const std::string& sql);

    bool broken() const noexcept;
    // Inside BEGIN ... COMMIT, including a failed transaction.
    bool in_transaction() const noexcept;
    // Healthy, outside a transaction and not running a statement: fit for the next session.
    bool idle() const noexcept;
    // Notices a server that closed the connection while it sat idle.
    bool check_alive();

  private:
    Connection(boost::asio::any_io_executor executor, PGconnPtr connection);

    awaitable<void> handshake();
    awaitable<void> wait_socket(boost::asio::posix::descriptor_base::wait_type type);
    awaitable<PGresultPtr> run(const std::string& sql, const TextParams& params);
    void send(const std::string& sql, const TextParams& params);
    awaitable<PGresultPtr> finish_statement();
    awaitable<void> flush();
    awaitable<PGresultPtr> read_results();
    awaitable<void> read_until_ready();
    awaitable<void> abandon_statement();
    awaitable<bool> request_cancel();
    PGresultPtr successful(PGresultPtr result) const;
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
    bool broken_ = false;
    bool running_ = false;
    bool server_said_goodbye_ = false;
};

}  // namespace host::database
