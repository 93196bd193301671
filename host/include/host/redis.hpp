#pragma once

#include "host/bytes.hpp"
#include "host/runtime.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host::redis {

struct Options {
    std::string host = "localhost";
    std::uint16_t port = 6379;
    std::int64_t db = 0;
    double connect_timeout = 5.0;  // seconds, connecting and selecting the database
    double socket_timeout = 5.0;   // seconds a command may wait for its reply
    // Ask the server to track the keys this client reads after CLIENT CACHING YES and to tell a
    // second connection of the client when they change (see Client::tracking).
    bool track_keys = false;
};

// Any failure of the client: connection refused or lost, time-out, protocol error.
class RedisError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The server answered with an error reply ("-ERR ..."). The connection stays usable.
class ReplyError : public RedisError {
  public:
    using RedisError::RedisError;
};

// One decoded reply. Bulk and status strings are raw bytes, never decoded as text.
struct Reply {
    enum class Type { nil, string, status, integer, array };
    Type type = Type::nil;
    std::int64_t integer = 0;
    Bytes str;
    std::vector<Reply> elements;

    bool is_nil() const noexcept { return type == Type::nil; }
};

// The reply of one command, or the error its own call would have thrown.
struct Outcome {
    Reply reply;
    std::exception_ptr error;
};

// What a transaction and commands written together give: each part as its own call would have
// returned it, or the error that call would have thrown.
struct TransactionAndCommands {
    std::vector<Reply> transaction;  // EXEC's replies
    std::exception_ptr transaction_error;
    std::vector<Outcome> commands;
};

struct ScanPage {
    std::string cursor;  // "0" when the scan is complete
    std::vector<std::string> keys;
};

// An asynchronous client on one connection, with commands pipelined on it: a command is written
// at once and its reply matched in order. The connection is opened lazily by the first command.
// A command whose reply does not come within socket_timeout, or any I/O error, drops the
// connection: every waiting command fails with RedisError and the next command reconnects.
// A connection the server closed while it was idle is replaced before a command is written to
// it; a command already written is never resent, since the server may have run it.
// A caller that stops waiting (cancellation) leaves its reply to be read and discarded, so the
// connection never gets out of step. All calls must be made on the client's executor.
class Client {
  public:
    Client(boost::asio::any_io_executor executor, Options options);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const Options& options() const noexcept;
    // The executor every call must be made on.
    const boost::asio::any_io_executor& executor() const noexcept;

    // Sends one command. The arguments are encoded by this call, so they need not outlive it;
    // the command is queued when the awaitable is first resumed. An error reply throws
    // ReplyError. An empty argument list throws std::invalid_argument.
    awaitable<Reply> command(const std::vector<std::string_view>& args);

    // Sends MULTI, the commands and EXEC as one pipelined write and returns EXEC's replies, one
    // per command. A command refused while queueing, or failing inside EXEC, throws ReplyError;
    // an aborted transaction (nil EXEC) throws RedisError.
    awaitable<std::vector<Reply>> transaction(
        const std::vector<std::vector<std::string_view>>& commands);

    // MULTI, the `transaction` commands, EXEC and then each of `commands`, in one write: one
    // round trip for all. A failure of one part is reported in its own field and leaves the
    // others intact; a lost connection or a time-out throws. The caller stops waiting after
    // `wait_limit` (when given) with TimeoutError; the connection stays, and the late replies
    // are read and discarded.
    awaitable<TransactionAndCommands> transaction_and_commands(
        const std::vector<std::vector<std::string_view>>& transaction,
        const std::vector<std::vector<std::string_view>>& commands,
        std::optional<std::chrono::steady_clock::duration> wait_limit = std::nullopt);

    // Tracking (Options::track_keys). The server remembers the keys this client reads right
    // after CLIENT CACHING YES and tells the client's subscriber connection when one changes or
    // expires; the handler gets those keys, or null for "anything may have changed" (a flush,
    // a lost or replaced connection). A copy kept of such a value is exact as long as no
    // notice for its key has come:
    // - `tracking()`: the current connection is tracked and its subscriber is up, so a value
    //   read now may be kept;
    // - `tracking_epoch()` grows with every notice; a value may be kept only when the epoch did
    //   not move between sending its read and receiving it;
    // - `transaction_with_barrier`: the transaction, and a round trip on the subscriber written
    //   with it; once it returns true, every notice the server sent before this call reached
    //   it has been handled. False when the subscriber is down or failed.
    using InvalidationHandler = std::function<void(const std::vector<std::string_view>* keys)>;
    void set_invalidation_handler(InvalidationHandler handler);
    bool tracking() const noexcept;
    std::uint64_t tracking_epoch() const noexcept;
    struct TransactionAndBarrier {
        std::vector<Reply> transaction;
        std::exception_ptr transaction_error;
        bool barrier = false;
    };
    awaitable<TransactionAndBarrier> transaction_with_barrier(
        const std::vector<std::vector<std::string_view>>& transaction,
        std::optional<std::chrono::steady_clock::duration> wait_limit = std::nullopt);

    // The typed commands below encode their arguments when called, like `command`.
    // GET: nullopt when the key does not exist; an empty value is an empty Bytes.
    awaitable<std::optional<Bytes>> get(std::string_view key);
    awaitable<void> set(std::string_view key, std::string_view value,
                        std::optional<std::int64_t> ex_seconds = std::nullopt);
    awaitable<std::int64_t> del(std::string_view key);
    awaitable<std::int64_t> incr(std::string_view key);
    awaitable<bool> expire(std::string_view key, std::int64_t seconds);
    // SCAN cursor [MATCH match] COUNT count; an empty `match` sends no MATCH.
    awaitable<ScanPage> scan(std::string_view cursor, std::string_view match, std::int64_t count);

    // Drops the connection now (waiting commands fail); the next command reconnects.
    void disconnect();

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace host::redis
