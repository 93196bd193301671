#include "host/redis.hpp"

#include "host/metrics.hpp"

#include "redis_codec.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace host::redis {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using detail::ReplyPtr;

constexpr auto use_tuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kReadChunk = 64 * 1024;

// One command, or one transaction, on its way: the replies it expects and a timer that is never
// meant to expire, only cancelled to wake the caller. The caller and the connection both hold
// it, so a caller that stops waiting leaves the slot in place for its replies to be discarded.
class PendingReply;
using PendingPtr = std::shared_ptr<PendingReply>;

class PendingReply {
  public:
    PendingReply(const asio::any_io_executor& executor, std::size_t expected)
        : expected_(expected), signal_(executor, Clock::time_point::max()) {
        replies_.reserve(expected);
    }

    Clock::time_point deadline() const noexcept { return deadline_; }
    void set_deadline(Clock::time_point deadline) noexcept { deadline_ = deadline; }
    bool complete() const noexcept { return replies_.size() == expected_; }

    void add(ReplyPtr reply) {
        replies_.push_back(std::move(reply));
        if (complete())
            wake();
    }

    void fail(const std::string& why) {
        failure_ = why;
        wake();
    }

    // `follower` is answered when this is: it waits for the same reply without a command of
    // its own on the wire (only its completion counts, not the reply).
    void add_follower(PendingPtr follower) { followers_.push_back(std::move(follower)); }

    // The replies, in the order of the commands. Throws RedisError when the connection failed
    // first, TimeoutError when `wait_limit` passed first, and operation_aborted when the
    // caller's wait is cancelled.
    awaitable<std::vector<ReplyPtr>> result(std::optional<Clock::duration> wait_limit) {
        if (!done_) {
            if (wait_limit)
                signal_.expires_after(*wait_limit);
            auto [error] = co_await signal_.async_wait(use_tuple);
            if (!done_ && wait_limit && !error) {
                metrics::add(metrics::kBackendErrors, {{"server", "redis"}, {"kind", "timeout"}});
                throw TimeoutError("Timeout waiting for a reply from Redis");
            }
        }
        if (!done_)
            throw boost::system::system_error(asio::error::operation_aborted);
        if (!failure_.empty()) {
            metrics::add(metrics::kBackendErrors, {{"server", "redis"}, {"kind", "connection"}});
            throw RedisError(failure_);
        }
        co_return std::move(replies_);
    }

  private:
    void wake() {
        done_ = true;
        signal_.cancel();
        for (auto& follower : std::exchange(followers_, {})) {
            if (failure_.empty())
                follower->wake();
            else
                follower->fail(failure_);
        }
    }

    std::size_t expected_;
    std::vector<std::shared_ptr<PendingReply>> followers_;
    std::vector<ReplyPtr> replies_;
    std::string failure_;
    bool done_ = false;
    Clock::time_point deadline_ = Clock::time_point::max();
    asio::steady_timer signal_;
};

// One TCP connection and the commands sent on it. It opens itself in the background, so that a
// caller who gives up waiting does not abort the connect for the others. Once closed it stays
// closed; the client opens a new one for the next command.
// Where a data connection sends the server's notices of changed keys: the client ID of the
// subscriber connection that receives them, and which subscriber that was.
struct Redirect {
    std::int64_t client_id = 0;
    std::uint64_t generation = 0;
};

// What a connection tells its client and asks of it. A data connection asks for the subscriber
// to redirect tracking to (none: no tracking); a subscriber hands on each pushed message; both
// report their end.
struct ConnectionHooks {
    std::function<awaitable<std::optional<Redirect>>()> tracking_redirect;
    std::function<void(const redisReply&)> on_push;
    std::function<void()> on_close;
};

constexpr std::string_view kInvalidationChannel = "__redis__:invalidate";

class Connection : public std::enable_shared_from_this<Connection> {
  public:
    enum class Role { data, subscriber };

    Connection(const asio::any_io_executor& executor, const Options& options,
               Role role = Role::data, ConnectionHooks hooks = {})
        : role_(role),
          hooks_(std::move(hooks)),
          options_(options),
          address_(options.host + ":" + std::to_string(options.port)),
          resolver_(executor),
          socket_(executor),
          watchdog_(executor),
          established_(executor, Clock::time_point::max()),
          read_buffer_(kReadChunk),
          connect_deadline_(Clock::now() + seconds_to_duration(options.connect_timeout)) {}

    void start() {
        auto executor = socket_.get_executor();
        asio::co_spawn(executor, run(shared_from_this()), asio::detached);
        asio::co_spawn(executor, watch_deadlines(shared_from_this()), asio::detached);
    }

    bool closed() const noexcept { return closed_; }
    bool connected() const noexcept { return connected_ && !closed_; }
    const std::string& address() const noexcept { return address_; }
    // A data connection whose reads the server tracks, and for which subscriber.
    std::optional<std::uint64_t> tracked_for() const noexcept {
        return connected() ? tracked_for_ : std::nullopt;
    }
    std::int64_t client_id() const noexcept { return client_id_; }

    // Waits until the connection is established or closed.
    awaitable<void> wait_established() {
        if (!connected_ && !closed_)
            co_await established_.async_wait(use_tuple);
    }

    // Takes no new commands; closes once the replies it owes have come.
    void retire() {
        retiring_ = true;
        if (waiting_.empty() && unsent_.empty())
            close("Connection retired");
    }
    bool retiring() const noexcept { return retiring_; }

    // Lets `pending` share the reply of the last command queued and not yet written, if there is
    // one; false when everything queued has gone out.
    bool join_unsent(const PendingPtr& pending) {
        if (unsent_.empty() || closed_)
            return false;
        unsent_.back()->add_follower(pending);
        return true;
    }

    // Queues `request` (the encoded commands of `pending`) behind everything queued before it;
    // into an empty queue it is moved, not copied.
    void enqueue(PendingPtr pending, std::string request) {
        if (outbox_.empty())
            outbox_.swap(request);
        else
            outbox_.append(request);
        unsent_.push_back(std::move(pending));
        start_writing();
    }

    // Fails every command sent or queued on this connection with `why`, and closes it.
    void close(const std::string& why) {
        if (closed_)
            return;
        closed_ = true;
        boost::system::error_code ignored;
        resolver_.cancel();
        socket_.close(ignored);
        watchdog_.cancel();
        established_.cancel();
        if (hooks_.on_close)
            hooks_.on_close();
        outbox_.clear();
        auto waiting = std::exchange(waiting_, {});
        auto unsent = std::exchange(unsent_, {});
        for (auto& pending : waiting)
            pending->fail(why);
        for (auto& pending : unsent)
            pending->fail(why);
    }

    // The read kept pending on a connection notices the server hanging up only when the event
    // loop next polls the socket, and a busy loop may hand this connection a command first,
    // which would fail in the dead socket. Peeking at the socket sees the hang-up at once. Only
    // an idle connection is looked at: no reply is owed on it, so closing it fails no one and
    // the command, not yet sent, can go on a new connection. A command already written is never
    // resent when the connection then fails: the server may have run it (an INCR, a whole
    // MULTI/EXEC) before it went away.
    void close_if_hung_up() {
        if (!connected_ || closed_ || !waiting_.empty() || !unsent_.empty())
            return;
        char byte = 0;
        boost::system::error_code error;
        socket_.receive(asio::buffer(&byte, 1), tcp::socket::message_peek, error);
        if (error && error != asio::error::would_block)
            close(read_error(error).what());
    }

  private:
    // `self` keeps the connection alive as long as one of its loops runs.
    awaitable<void> run(std::shared_ptr<Connection> self) {
        try {
            co_await establish();
            if (closed_)
                co_return;
            connected_ = true;
            established_.cancel();
            start_writing();
            for (;;)
                deliver(co_await read_reply());
        } catch (const std::exception& e) {
            self->close(e.what());
        }
    }

    awaitable<void> establish() {
        auto [resolve_error, endpoints] = co_await resolver_.async_resolve(
            options_.host, std::to_string(options_.port), use_tuple);
        if (resolve_error)
            throw connect_error(resolve_error);
        auto [connect_error_code, endpoint] =
            co_await asio::async_connect(socket_, endpoints, use_tuple);
        (void)endpoint;
        if (connect_error_code)
            throw connect_error(connect_error_code);
        socket_.set_option(tcp::no_delay(true));
        socket_.non_blocking(true);  // for the peek of close_if_hung_up; async calls are unaffected
        if (role_ == Role::subscriber) {
            co_await subscribe_to_invalidations();
            co_return;
        }
        if (options_.db != 0)
            co_await select_database();
        if (hooks_.tracking_redirect)
            co_await enable_tracking();
    }

    // One command written and its reply read, before the connection takes other commands.
    awaitable<ReplyPtr> exchange(const std::vector<std::string_view>& args) {
        const std::string request = detail::encode_command(args);
        auto [error, written] =
            co_await asio::async_write(socket_, asio::buffer(request), use_tuple);
        (void)written;
        if (error)
            throw write_error(error);
        co_return co_await read_reply();
    }

    // The subscriber learns its client ID (the data connections redirect to it) and listens.
    awaitable<void> subscribe_to_invalidations() {
        const std::vector<std::string_view> client_id{"CLIENT", "ID"};
        ReplyPtr id = co_await exchange(client_id);
        if (id->type != REDIS_REPLY_INTEGER)
            throw RedisError("Unexpected reply to CLIENT ID from " + address_);
        client_id_ = id->integer;
        const std::vector<std::string_view> subscribe{"SUBSCRIBE", kInvalidationChannel};
        ReplyPtr confirmed = co_await exchange(subscribe);
        if (detail::is_error(*confirmed))
            throw RedisError("Cannot subscribe to invalidations on " + address_ + ": " +
                             std::string(detail::text_of(*confirmed)));
    }

    // Reads of this connection are tracked only for keys read right after CLIENT CACHING YES
    // (OPTIN), so the server remembers just the keys the client keeps. Without a subscriber, or
    // when the server refuses, the connection works untracked.
    awaitable<void> enable_tracking() {
        std::optional<Redirect> redirect;
        try {
            redirect = co_await hooks_.tracking_redirect();
        } catch (const std::exception&) {
            co_return;
        }
        if (!redirect || closed_)
            co_return;
        const std::string id = std::to_string(redirect->client_id);
        const std::vector<std::string_view> tracking{"CLIENT",   "TRACKING", "ON",
                                                     "REDIRECT", id,         "OPTIN"};
        ReplyPtr reply = co_await exchange(tracking);
        if (!detail::is_error(*reply))
            tracked_for_ = redirect->generation;
    }

    RedisError connect_error(const boost::system::error_code& error) const {
        return RedisError("Error connecting to " + address_ + ": " + error.message());
    }

    awaitable<void> select_database() {
        const std::string db = std::to_string(options_.db);
        const std::vector<std::string_view> args{"SELECT", db};
        ReplyPtr reply = co_await exchange(args);
        if (detail::is_error(*reply))
            throw RedisError("Error selecting database " + db + " on " + address_ + ": " +
                             std::string(detail::text_of(*reply)));
    }

    awaitable<ReplyPtr> read_reply() {
        for (;;) {
            if (ReplyPtr reply = reader_.next())
                co_return reply;
            auto [error, size] =
                co_await socket_.async_read_some(asio::buffer(read_buffer_), use_tuple);
            if (error)
                throw read_error(error);
            reader_.feed(std::string_view(read_buffer_.data(), size));
        }
    }

    RedisError read_error(const boost::system::error_code& error) const {
        if (error == asio::error::eof)
            return RedisError("Connection to " + address_ + " closed by server");
        return RedisError("Error reading from " + address_ + ": " + error.message());
    }

    // A subscriber's message, as opposed to a reply: ["message", channel, payload].
    static bool is_push(const redisReply& reply) {
        return reply.type == REDIS_REPLY_ARRAY && reply.elements == 3 &&
               reply.element[0]->type == REDIS_REPLY_STRING &&
               detail::text_of(*reply.element[0]) == "message";
    }

    void deliver(ReplyPtr reply) {
        if (role_ == Role::subscriber && is_push(*reply)) {
            if (hooks_.on_push)
                hooks_.on_push(*reply);
            return;
        }
        if (waiting_.empty())
            throw RedisError("Protocol error: unexpected reply from " + address_);
        PendingPtr& oldest = waiting_.front();
        oldest->add(std::move(reply));
        if (oldest->complete())
            waiting_.pop_front();
        if (retiring_ && waiting_.empty() && unsent_.empty())
            close("Connection retired");
    }

    void start_writing() {
        if (!connected_ || writing_ || closed_ || outbox_.empty())
            return;
        writing_ = true;
        asio::co_spawn(socket_.get_executor(), write_queued(shared_from_this()), asio::detached);
    }

    // Everything queued while a write is in progress goes out together in the next write.
    awaitable<void> write_queued(std::shared_ptr<Connection> self) {
        while (!closed_ && !outbox_.empty()) {
            sending_.clear();
            std::swap(sending_, outbox_);
            mark_sent();
            auto [error, written] =
                co_await asio::async_write(socket_, asio::buffer(sending_), use_tuple);
            (void)written;
            if (error)
                self->close(write_error(error).what());
        }
        writing_ = false;
    }

    RedisError write_error(const boost::system::error_code& error) const {
        return RedisError("Error writing to " + address_ + ": " + error.message());
    }

    // The reply clock of a command starts when it is handed to the socket.
    void mark_sent() {
        const bool watchdog_idle = waiting_.empty();
        const auto deadline = Clock::now() + seconds_to_duration(options_.socket_timeout);
        for (auto& pending : unsent_) {
            pending->set_deadline(deadline);
            waiting_.push_back(std::move(pending));
        }
        unsent_.clear();
        if (watchdog_idle)
            watchdog_.cancel();
    }

    Clock::time_point next_deadline() const {
        if (!connected_)
            return connect_deadline_;
        return waiting_.empty() ? Clock::time_point::max() : waiting_.front()->deadline();
    }

    // Deadlines only grow along the queue, so watching the oldest command is enough. A reply
    // does not rearm the timer: when it fires early it simply waits again for the new oldest.
    awaitable<void> watch_deadlines(std::shared_ptr<Connection> self) {
        while (!closed_) {
            const auto deadline = next_deadline();
            if (Clock::now() >= deadline) {
                self->close((connected_ ? "Timeout reading from " : "Timeout connecting to ") +
                            address_);
                co_return;
            }
            watchdog_.expires_at(deadline);
            co_await watchdog_.async_wait(use_tuple);
        }
    }

    Role role_;
    ConnectionHooks hooks_;
    Options options_;
    std::string address_;  // host:port, for messages
    tcp::resolver resolver_;
    tcp::socket socket_;
    asio::steady_timer watchdog_;
    asio::steady_timer established_;  // cancelled once established or closed
    detail::ReplyReader reader_;
    std::vector<char> read_buffer_;
    std::string outbox_;   // encoded commands of `unsent_`
    std::string sending_;  // the write in progress; keeps its capacity for the next one
    std::deque<PendingPtr> unsent_;
    std::deque<PendingPtr> waiting_;  // written, answered in this order
    Clock::time_point connect_deadline_;
    bool connected_ = false;
    bool writing_ = false;
    bool closed_ = false;
    bool retiring_ = false;
    std::optional<std::uint64_t> tracked_for_;
    std::int64_t client_id_ = 0;
};

// What a client keeps between commands: its settings and the current connection, if any.
// With tracking, a second connection, the subscriber, receives the server's notices of changed
// keys. `epoch` grows with every notice and every interruption of tracking, so a caller that
// reads a key can tell whether anything may have changed between sending and keeping it.
struct ClientState : std::enable_shared_from_this<ClientState> {
    asio::any_io_executor executor;
    Options options;
    std::shared_ptr<Connection> connection;
    std::shared_ptr<Connection> subscriber;
    std::uint64_t subscriber_generation = 0;
    std::uint64_t epoch = 0;
    Client::InvalidationHandler on_invalidate;

    ClientState(asio::any_io_executor e, Options o)
        : executor(std::move(e)), options(std::move(o)) {}

    Connection& open_connection() {
        if (connection)
            connection->close_if_hung_up();
        if (options.track_keys && connection && connection->connected() &&
            (!subscriber || subscriber->closed()))
            open_subscriber();  // tracking resumes on a new connection once it is up
        if (connection && !connection->closed() && options.track_keys && connection->connected() &&
            connection->tracked_for() != current_subscriber() && current_subscriber())
            connection->retire();  // tracking went to a subscriber that is gone: start afresh
        if (!connection || connection->closed() || connection->retiring()) {
            connection = std::make_shared<Connection>(executor, options, Connection::Role::data,
                                                      data_hooks());
            connection->start();
        }
        return *connection;
    }

    // The generation of the subscriber while it is connected.
    std::optional<std::uint64_t> current_subscriber() const {
        if (subscriber && subscriber->connected())
            return subscriber_generation;
        return std::nullopt;
    }

    bool tracking() const {
        return options.track_keys && connection && !connection->retiring() &&
               connection->tracked_for() && connection->tracked_for() == current_subscriber();
    }

    Connection& open_subscriber() {
        if (!subscriber || subscriber->closed()) {
            ++subscriber_generation;
            std::weak_ptr<ClientState> weak = weak_from_this();
            ConnectionHooks hooks;
            hooks.on_push = [weak](const redisReply& message) {
                if (auto self = weak.lock())
                    self->pushed(message);
            };
            hooks.on_close = [weak] {
                if (auto self = weak.lock())
                    self->invalidated(nullptr);
            };
            subscriber = std::make_shared<Connection>(executor, options,
                                                      Connection::Role::subscriber, hooks);
            subscriber->start();
        }
        return *subscriber;
    }

    ConnectionHooks data_hooks() {
        if (!options.track_keys)
            return {};
        std::weak_ptr<ClientState> weak = weak_from_this();
        ConnectionHooks hooks;
        hooks.tracking_redirect = [weak]() -> awaitable<std::optional<Redirect>> {
            auto self = weak.lock();
            if (!self)
                co_return std::nullopt;
            auto listener = self->open_subscriber().shared_from_this();
            const auto generation = self->subscriber_generation;
            co_await listener->wait_established();
            if (!listener->connected())
                co_return std::nullopt;
            const Redirect redirect{listener->client_id(), generation};
            co_return redirect;
        };
        hooks.on_close = [weak] {
            if (auto self = weak.lock())
                self->invalidated(nullptr);
        };
        return hooks;
    }

    // ["message", "__redis__:invalidate", keys or nil (everything)].
    void pushed(const redisReply& message) {
        const redisReply& payload = *message.element[2];
        if (payload.type != REDIS_REPLY_ARRAY) {
            invalidated(nullptr);
            return;
        }
        std::vector<std::string_view> keys;
        keys.reserve(payload.elements);
        for (std::size_t i = 0; i < payload.elements; ++i)
            keys.push_back(detail::text_of(*payload.element[i]));
        invalidated(&keys);
    }

    void invalidated(const std::vector<std::string_view>* keys) {
        ++epoch;
        if (on_invalidate)
            on_invalidate(keys);
    }

    void drop(const std::string& why) {
        if (connection)
            connection->close(why);
        connection.reset();
        if (subscriber)
            subscriber->close(why);
        subscriber.reset();
    }
};

using StatePtr = std::shared_ptr<ClientState>;

awaitable<std::vector<ReplyPtr>> submit(StatePtr state, std::string request, std::size_t replies,
                                        std::optional<Clock::duration> wait_limit = std::nullopt) {
    auto pending = std::make_shared<PendingReply>(state->executor, replies);
    state->open_connection().enqueue(pending, std::move(request));
    co_return co_await pending->result(wait_limit);
}

awaitable<Reply> single_reply(StatePtr state, std::string request) {
    std::vector<ReplyPtr> replies = co_await submit(std::move(state), std::move(request), 1);
    co_return detail::to_reply(replies.front(), *replies.front());
}

std::string transaction_request(const std::vector<std::vector<std::string_view>>& commands) {
    static const std::vector<std::string_view> multi{"MULTI"};
    static const std::vector<std::string_view> exec{"EXEC"};
    std::string request = detail::encode_command(multi);
    for (const auto& args : commands)
        detail::append_command(request, args);
    detail::append_command(request, exec);
    return request;
}

RedisError unexpected_reply(std::string_view command) {
    return RedisError("Unexpected reply type to " + std::string(command));
}

// MULTI's reply, one QUEUED per command, then EXEC's array. A command refused while queueing
// explains the EXECABORT that follows, so its message is the one reported.
std::vector<Reply> transaction_result(const std::vector<ReplyPtr>& replies) {
    for (std::size_t i = 0; i + 1 < replies.size(); ++i) {
        if (detail::is_error(*replies[i]))
            throw ReplyError(std::string(detail::text_of(*replies[i])));
    }
    const ReplyPtr& exec = replies.back();
    if (detail::is_nil(*exec))
        throw RedisError("Transaction aborted: EXEC returned nil");
    Reply result = detail::to_reply(exec, *exec);
    if (result.type != Reply::Type::array)
        throw unexpected_reply("EXEC");
    return std::move(result.elements);
}

// Splits the replies of a transaction written with `trailing` further commands.
TransactionAndCommands split_transaction_and_commands(std::vector<ReplyPtr> all,
                                                      std::size_t trailing) {
    TransactionAndCommands outcome;
    std::vector<ReplyPtr> rest(all.end() - static_cast<std::ptrdiff_t>(trailing), all.end());
    all.resize(all.size() - trailing);
    try {
        outcome.transaction = transaction_result(all);
    } catch (const RedisError&) {
        outcome.transaction_error = std::current_exception();
    }
    outcome.commands.reserve(trailing);
    for (const ReplyPtr& reply : rest) {
        Outcome one;
        try {
            one.reply = detail::to_reply(reply, *reply);
        } catch (const RedisError&) {
            one.error = std::current_exception();
        }
        outcome.commands.push_back(std::move(one));
    }
    return outcome;
}

awaitable<TransactionAndCommands> transaction_and_commands_replies(
    StatePtr state, std::string request, std::size_t transaction_size, std::size_t trailing,
    std::optional<Clock::duration> wait_limit) {
    std::vector<ReplyPtr> all = co_await submit(std::move(state), std::move(request),
                                                transaction_size + 2 + trailing, wait_limit);
    co_return split_transaction_and_commands(std::move(all), trailing);
}

awaitable<std::vector<Reply>> transaction_replies(StatePtr state, std::string request,
                                                  std::size_t replies) {
    std::vector<ReplyPtr> all = co_await submit(std::move(state), std::move(request), replies);
    co_return transaction_result(all);
}

awaitable<std::int64_t> integer_of(awaitable<Reply> reply, std::string_view command) {
    Reply result = co_await std::move(reply);
    if (result.type != Reply::Type::integer)
        throw unexpected_reply(command);
    co_return result.integer;
}

awaitable<std::optional<Bytes>> optional_bytes_of(awaitable<Reply> reply) {
    Reply result = co_await std::move(reply);
    if (result.is_nil())
        co_return std::nullopt;
    if (result.type != Reply::Type::string)
        throw unexpected_reply("GET");
    co_return std::move(result.str);
}

awaitable<void> ignore_status(awaitable<Reply> reply) {
    co_await std::move(reply);
}

awaitable<bool> is_one(awaitable<std::int64_t> count) {
    co_return co_await std::move(count) == 1;
}

ScanPage scan_page_of(const Reply& reply) {
    if (reply.type != Reply::Type::array || reply.elements.size() != 2 ||
        reply.elements[0].type != Reply::Type::string ||
        reply.elements[1].type != Reply::Type::array)
        throw unexpected_reply("SCAN");
    ScanPage page;
    page.cursor = reply.elements[0].str.str();
    page.keys.reserve(reply.elements[1].elements.size());
    for (const Reply& key : reply.elements[1].elements)
        page.keys.push_back(key.str.str());
    return page;
}

awaitable<ScanPage> scan_page(awaitable<Reply> reply) {
    Reply result = co_await std::move(reply);
    co_return scan_page_of(result);
}

}  // namespace

struct Client::Impl : ClientState {
    using ClientState::ClientState;
};

Client::Client(boost::asio::any_io_executor executor, Options options)
    : impl_(std::make_shared<Impl>(std::move(executor), std::move(options))) {}

Client::~Client() {
    impl_->on_invalidate = nullptr;  // its owner may be gone already
    impl_->drop("Redis client destroyed");
}

const Options& Client::options() const noexcept {
    return impl_->options;
}

const boost::asio::any_io_executor& Client::executor() const noexcept {
    return impl_->executor;
}

awaitable<Reply> Client::command(const std::vector<std::string_view>& args) {
    return single_reply(impl_, detail::encode_command(args));
}

awaitable<std::vector<Reply>> Client::transaction(
    const std::vector<std::vector<std::string_view>>& commands) {
    return transaction_replies(impl_, transaction_request(commands), commands.size() + 2);
}

awaitable<TransactionAndCommands> Client::transaction_and_commands(
    const std::vector<std::vector<std::string_view>>& transaction,
    const std::vector<std::vector<std::string_view>>& commands,
    std::optional<std::chrono::steady_clock::duration> wait_limit) {
    std::string request = transaction_request(transaction);
    for (const auto& args : commands)
        detail::append_command(request, args);
    return transaction_and_commands_replies(impl_, std::move(request), transaction.size(),
                                            commands.size(), wait_limit);
}

void Client::set_invalidation_handler(InvalidationHandler handler) {
    impl_->on_invalidate = std::move(handler);
}

bool Client::tracking() const noexcept {
    return impl_->tracking();
}

std::uint64_t Client::tracking_epoch() const noexcept {
    return impl_->epoch;
}

awaitable<Client::TransactionAndBarrier> Client::transaction_with_barrier(
    const std::vector<std::vector<std::string_view>>& transaction,
    std::optional<std::chrono::steady_clock::duration> wait_limit) {
    // Both are queued before either is awaited, so they travel in the same turn of the loop.
    auto state = impl_;
    auto counted = std::make_shared<PendingReply>(state->executor, transaction.size() + 2);
    state->open_connection().enqueue(counted, transaction_request(transaction));
    PendingPtr barrier;
    if (state->current_subscriber()) {
        // The subscriber carries only PINGs. One not yet written goes out after this request's
        // transaction was queued, so its reply is as good a barrier as a PING of our own.
        static const std::string ping = detail::encode_command({"PING"});
        barrier = std::make_shared<PendingReply>(state->executor, 1);
        auto& subscriber = state->open_subscriber();
        if (!subscriber.join_unsent(barrier))
            subscriber.enqueue(barrier, ping);
    }
    const auto deadline = wait_limit ? std::optional(Clock::now() + *wait_limit) : std::nullopt;
    TransactionAndBarrier outcome;
    try {
        outcome.transaction = transaction_result(co_await counted->result(wait_limit));
    } catch (const RedisError&) {
        outcome.transaction_error = std::current_exception();
    }
    if (barrier) {
        try {
            std::optional<Clock::duration> left;
            if (deadline)
                left = std::max(*deadline - Clock::now(), Clock::duration::zero());
            co_await barrier->result(left);
            outcome.barrier = true;
        } catch (const RedisError&) {
        } catch (const TimeoutError&) {
        }
    }
    co_return outcome;
}

awaitable<std::optional<Bytes>> Client::get(std::string_view key) {
    const std::vector<std::string_view> args{"GET", key};
    return optional_bytes_of(command(args));
}

awaitable<void> Client::set(std::string_view key, std::string_view value,
                            std::optional<std::int64_t> ex_seconds) {
    std::vector<std::string_view> args{"SET", key, value};
    std::string seconds;
    if (ex_seconds) {
        seconds = std::to_string(*ex_seconds);
        args.push_back("EX");
        args.push_back(seconds);
    }
    return ignore_status(command(args));
}

awaitable<std::int64_t> Client::del(std::string_view key) {
    const std::vector<std::string_view> args{"DEL", key};
    return integer_of(command(args), "DEL");
}

awaitable<std::int64_t> Client::incr(std::string_view key) {
    const std::vector<std::string_view> args{"INCR", key};
    return integer_of(command(args), "INCR");
}

awaitable<bool> Client::expire(std::string_view key, std::int64_t seconds) {
    const std::string text = std::to_string(seconds);
    const std::vector<std::string_view> args{"EXPIRE", key, text};
    return is_one(integer_of(command(args), "EXPIRE"));
}

awaitable<ScanPage> Client::scan(std::string_view cursor, std::string_view match,
                                 std::int64_t count) {
    const std::string count_text = std::to_string(count);
    std::vector<std::string_view> args{"SCAN", cursor};
    if (!match.empty()) {
        args.push_back("MATCH");
        args.push_back(match);
    }
    args.push_back("COUNT");
    args.push_back(count_text);
    return scan_page(command(args));
}

void Client::disconnect() {
    if (impl_->connection)
        impl_->drop("Disconnected from " + impl_->connection->address());
}

}  // namespace host::redis
