#include "host/server.hpp"

#include "host/logging.hpp"
#include "request_message.hpp"
#include "text.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <fmt/format.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <limits>
#include <list>
#include <optional>
#include <unordered_map>

namespace host::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

// ---- client address -------------------------------------------------------------------------

namespace {

using host::detail::trim_blanks;

// The longest text of an address: IPv6 with a scope as long as an interface name.
constexpr std::size_t kLongestAddressText = INET6_ADDRSTRLEN + IF_NAMESIZE;

// One address per client: IPv4-mapped IPv6 as IPv4, IPv6 without its scope.
asio::ip::address one_form(const asio::ip::address& address) {
    if (!address.is_v6())
        return address;
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, v6);
    return asio::ip::address_v6(v6.to_bytes());
}

std::optional<asio::ip::address> parse_address(std::string_view text) {
    if (text.size() > kLongestAddressText)
        return std::nullopt;
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(text, ec);
    if (ec)
        return std::nullopt;
    return one_form(address);
}

// The trusted proxies, parsed once: single addresses and networks. Entries that are neither
// never match. Addresses are asked about in their one form.
class ProxyList {
  public:
    explicit ProxyList(const std::vector<std::string>& entries) {
        for (const auto& entry : entries) {
            boost::system::error_code ec;
            if (entry.find('/') == std::string::npos) {
                if (auto address = parse_address(entry))
                    addresses_.push_back(*address);
            } else if (auto v4 = asio::ip::make_network_v4(entry, ec); !ec) {
                networks_v4_.push_back(v4.canonical());
            } else if (auto v6 = asio::ip::make_network_v6(entry, ec); !ec) {
                networks_v6_.push_back(v6.canonical());
            }
        }
    }

    bool contains(const asio::ip::address& address) const {
        if (std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end())
            return true;
        if (address.is_v4())
            return std::any_of(networks_v4_.begin(), networks_v4_.end(), [&](const auto& net) {
                return net ==
                       asio::ip::network_v4(address.to_v4(), net.prefix_length()).canonical();
            });
        return std::any_of(networks_v6_.begin(), networks_v6_.end(), [&](const auto& net) {
            return net == asio::ip::network_v6(address.to_v6(), net.prefix_length()).canonical();
        });
    }

  private:
    std::vector<asio::ip::address> addresses_;
    std::vector<asio::ip::network_v4> networks_v4_;
    std::vector<asio::ip::network_v6> networks_v6_;
};

// Walks X-Forwarded-For from the right: each trusted hop vouches for the address to its left.
std::string client_behind(const std::string& peer, std::string_view forwarded_for,
                          const ProxyList& proxies) {
    std::optional<asio::ip::address> client;
    std::string_view rest = forwarded_for;
    while (!rest.empty()) {
        auto comma = rest.rfind(',');
        auto item = trim_blanks(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        if (item.empty())
            continue;
        auto address = parse_address(item);
        if (!address)
            break;  // garbage from the client side: stop believing the header here
        client = address;
        if (!proxies.contains(*address))
            break;
    }
    return client ? client->to_string() : peer;
}

}  // namespace

std::vector<std::string> parse_trusted_proxies(std::string_view text) {
    std::vector<std::string> proxies;
    std::string_view rest = text;
    while (!rest.empty()) {
        auto comma = rest.find(',');
        auto item = trim_blanks(rest.substr(0, comma));
        if (!item.empty())
            proxies.emplace_back(item);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
    }
    return proxies;
}

std::string client_address(const std::string& peer, std::string_view forwarded_for,
                           const std::vector<std::string>& trusted_proxies) {
    const auto address = parse_address(peer);
    if (!address)
        return peer;
    const std::string own = address->to_string();
    const ProxyList proxies(trusted_proxies);
    return proxies.contains(*address) ? client_behind(own, forwarded_for, proxies) : own;
}

// ---- server -----------------------------------------------------------------------------------

namespace {

// How long the acceptor rests, out of descriptors, when no connection ends meanwhile.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// The peer of a connection as its requests name it, and whether it is a trusted proxy.
struct Peer {
    std::optional<asio::ip::address> address;  // none when the socket cannot tell
    std::string text;
    bool trusted = false;
};

Peer peer_of(const tcp::socket& socket, const ProxyList& proxies) {
    boost::system::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    if (ec)
        return {};
    const auto address = one_form(endpoint.address());
    return {address, address.to_string(), proxies.contains(address)};
}

// Where a connection stands. Only one waiting for its next request is closed to make room.
enum class Phase { awaiting_request, handling, streaming, closing };

struct Connection {
    Connection(tcp::socket socket, Peer p) : stream(std::move(socket)), peer(std::move(p)) {}
    beast::tcp_stream stream;
    Peer peer;
    Phase phase = Phase::awaiting_request;
};

// A warning that can come thousands of times a second: logged once a second at most, with the
// count of those held back since the last line.
class ThrottledWarning {
  public:
    template <typename... Args>
    void operator()(fmt::format_string<Args...> format, Args&&... args) {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_) {
            ++held_back_;
            return;
        }
        const std::string line = fmt::format(format, std::forward<Args>(args)...);
        if (held_back_ == 0)
            get_logger()->warn("{}", line);
        else
            get_logger()->warn("{} ({} more since the last such line)", line, held_back_);
        held_back_ = 0;
        next_ = now + std::chrono::seconds(1);
    }

  private:
    std::chrono::steady_clock::time_point next_{};
    std::size_t held_back_ = 0;
};

// Failures that last until a descriptor or some memory is freed: accepting again at once would
// only fail again.
bool out_of_resources(const boost::system::error_code& ec) {
    using boost::system::errc::errc_t;
    return ec == errc_t::too_many_files_open || ec == errc_t::too_many_files_open_in_system ||
           ec == errc_t::no_buffer_space || ec == errc_t::not_enough_memory;
}

// The descriptor limit less the reserve, or half the limit when the reserve would leave less.
std::size_t most_connections(std::size_t reserved) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::numeric_limits<std::size_t>::max();
    const auto descriptors = static_cast<std::size_t>(limit.rlim_cur);
    return descriptors > 2 * reserved ? descriptors - reserved : descriptors / 2;
}

}  // namespace

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    using Slot = std::list<Connection>::iterator;

    const App& app;
    ServerOptions options;
    ProxyList proxies;
    tcp::acceptor acceptor;
    bool stopping = false;
    std::size_t connection_limit = std::numeric_limits<std::size_t>::max();  // set by listen()
    // In the order they began to wait for their next request, longest first.
    std::list<Connection> connections;
    // The open connections of each client held to the per-client cap.
    std::unordered_map<asio::ip::address, std::size_t> per_client;
    asio::steady_timer drained;
    // Cancelled whenever a connection ends: the acceptor waits on it when out of descriptors.
    asio::steady_timer room;
    ThrottledWarning accept_failed;
    ThrottledWarning refused;

    Impl(const App& a, ServerOptions o)
        : app(a),
          options(std::move(o)),
          proxies(options.trusted_proxies),
          acceptor(event_loop()),
          drained(event_loop()),
          room(event_loop()) {
        drained.expires_at(asio::steady_timer::time_point::max());
    }

    static bool held_to_client_cap(const Peer& peer) { return peer.address && !peer.trusted; }
    bool admit(const Peer& peer);
    bool make_room();
    Slot open(tcp::socket socket, Peer peer);
    void end(Slot slot);
    void await_request(Slot slot);

    awaitable<void> session(Slot slot);
    awaitable<boost::system::error_code> write_response(beast::tcp_stream& stream,
                                                        const Response& response, unsigned version,
                                                        bool keep_alive, std::string& head);
    awaitable<void> stream_response(beast::tcp_stream& stream, const Response& response,
                                    unsigned version, std::string& head);
    awaitable<void> accept_loop();
    awaitable<void> pause_accepting();
};

// A new connection stays when its client is under its cap and the server under its own, once
// its longest-idle connection is closed if need be; the others are closed at once, unanswered,
// which costs the server nothing more than the accept.
bool Server::Impl::admit(const Peer& peer) {
    if (held_to_client_cap(peer)) {
        const auto found = per_client.find(*peer.address);
        if (found != per_client.end() && found->second >= options.max_connections_per_client) {
            refused("connection from {} closed at once: it has {} open", peer.text, found->second);
            return false;
        }
    }
    if (connections.size() < connection_limit || make_room())
        return true;
    refused("connection from {} closed at once: {} connections open, none of them idle", peer.text,
            connections.size());
    return false;
}

// Closes the connection that has waited longest for its next request; false when none waits.
bool Server::Impl::make_room() {
    const auto idle = std::find_if(connections.begin(), connections.end(), [](const auto& c) {
        return c.phase == Phase::awaiting_request;
    });
    if (idle == connections.end())
        return false;
    idle->phase = Phase::closing;
    idle->stream.cancel();
    return true;
}

Server::Impl::Slot Server::Impl::open(tcp::socket socket, Peer peer) {
    if (held_to_client_cap(peer))
        ++per_client[*peer.address];
    return connections.emplace(connections.end(), std::move(socket), std::move(peer));
}

void Server::Impl::end(Slot slot) {
    boost::system::error_code ignored;
    slot->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    slot->stream.close();
    if (held_to_client_cap(slot->peer)) {
        const auto count = per_client.find(*slot->peer.address);
        if (--count->second == 0)
            per_client.erase(count);
    }
    connections.erase(slot);
    room.cancel();
    if (stopping && connections.empty())
        drained.cancel();
}

void Server::Impl::await_request(Slot slot) {
    connections.splice(connections.end(), connections, slot);
    slot->phase = Phase::awaiting_request;
}

namespace {

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The status line and header fields of `response`, written into `head` (its capacity is kept
// from answer to answer). A header named again later is left out here: the last value wins, in
// the place it was given; a name or value that would break the header block is dropped. 204 and 304
// carry neither body nor length; every other answer its Content-Length. The body goes out after it
// in the same write, without being copied.
void write_head(const Response& response, unsigned version, bool keep_alive, std::string& head) {
    const auto named_later = [&](std::size_t from, std::string_view name) {
        for (std::size_t i = from; i < response.headers.size(); ++i)
            if (same_name(response.headers[i].first, name))
                return true;
        return false;
    };
    const auto field = [&](std::string_view name, std::string_view value) {
        if (name.find_first_of("\r\n:") != std::string_view::npos ||
            value.find_first_of("\r\n") != std::string_view::npos)
            return;  // a field that would split the header block is never sent
        head.append(name).append(": ").append(value).append("\r\n");
    };
    head.clear();
    head.append(version == 10 ? "HTTP/1.0 " : "HTTP/1.1 ");
    fmt::format_to(std::back_inserter(head), "{} ", response.status);
    head.append(reason_phrase(response.status)).append("\r\n");
    if (!named_later(0, "Server"))
        field("Server", "kavara");
    if (!response.media_type.empty() && !named_later(0, "Content-Type"))
        field("Content-Type", response.media_type);
    for (std::size_t i = 0; i < response.headers.size(); ++i) {
        const auto& [name, value] = response.headers[i];
        if (same_name(name, "Content-Length") || same_name(name, "Connection") ||
            named_later(i + 1, name))
            continue;
        field(name, value);
    }
    if (version == 10 && keep_alive)
        field("Connection", "keep-alive");
    else if (version != 10 && !keep_alive)
        field("Connection", "close");
    if (response.status != 204 && response.status != 304 && !response.stream)
        fmt::format_to(std::back_inserter(head), "Content-Length: {}\r\n", response.body.size());
    head.append("\r\n");
}

bool is_parse_error(const boost::system::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

}  // namespace

awaitable<void> Server::Impl::session(Slot slot) {
    auto& stream = slot->stream;
    const Peer& peer = slot->peer;
    beast::flat_buffer buffer;
    std::string head;  // the header block of each answer, reused

    while (!stopping) {
        await_request(slot);
        bhttp::request_parser<bhttp::string_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(options.header_limit));
        parser.body_limit(options.body_limit);
        stream.expires_after(options.idle_timeout);
        auto [read_ec, read_n] =
            co_await bhttp::async_read(stream, buffer, parser, asio::as_tuple(asio::use_awaitable));
        (void)read_n;
        if (read_ec) {
            if (is_parse_error(read_ec) || read_ec == bhttp::error::partial_message) {
                // The wire message points into `answer`, which must outlive the write.
                const unsigned status = detail::status_for_read_error(read_ec);
                const Response answer = error_response(status, reason_phrase(status));
                co_await write_response(stream, answer, 11, false, head);
            }
            break;
        }
        slot->phase = Phase::handling;
        auto& message = parser.get();
        std::string client = peer.trusted
                                 ? client_behind(peer.text, detail::forwarded_for(message), proxies)
                                 : peer.text;
        Request request = detail::to_request(message, std::move(client));
        request.via_trusted_proxy = peer.trusted;
        Response response = co_await app.handle(request);
        if (response.stream) {
            // A stream may last for hours: stop() ends it at once, like an idle connection.
            slot->phase = Phase::streaming;
            co_await stream_response(stream, response, message.version(), head);
            break;
        }
        bool keep_alive = message.keep_alive() && !stopping;
        const auto write_ec =
            co_await write_response(stream, response, message.version(), keep_alive, head);
        if (write_ec || !keep_alive)
            break;
    }
}

awaitable<boost::system::error_code> Server::Impl::write_response(beast::tcp_stream& stream,
                                                                  const Response& response,
                                                                  unsigned version, bool keep_alive,
                                                                  std::string& head) {
    write_head(response, version, keep_alive, head);
    const bool has_body = response.status != 204 && response.status != 304;
    const std::array<asio::const_buffer, 2> buffers{
        asio::buffer(head),
        has_body ? asio::buffer(response.body.data(), response.body.size()) : asio::const_buffer()};
    stream.expires_after(options.write_timeout);
    auto [error, written] =
        co_await asio::async_write(stream, buffers, asio::as_tuple(asio::use_awaitable));
    (void)written;
    co_return error;
}

namespace {

// Completes when the client closes its side or the socket is cancelled; what the client sends
// meanwhile is dropped, since a streamed answer is the connection's last.
awaitable<void> until_closed(tcp::socket& socket) {
    std::array<char, 512> sink;
    for (;;) {
        auto [ec, n] = co_await socket.async_read_some(asio::buffer(sink),
                                                       asio::as_tuple(asio::use_awaitable));
        (void)n;
        if (ec)
            co_return;
    }
}

// A listener that stops reading does not block a write for long: a heartbeat fits the socket's
// buffer long after the client's window has shut. So the kernel is asked to end the connection
// once written bytes have gone untaken or unacknowledged for `limit`; the close watcher then
// sees the error and the stream ends.
void end_when_undelivered(tcp::socket& socket, std::chrono::steady_clock::duration limit) {
    const auto milliseconds =
        static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(limit).count());
    ::setsockopt(socket.native_handle(), IPPROTO_TCP, TCP_USER_TIMEOUT, &milliseconds,
                 sizeof milliseconds);
}

}  // namespace

awaitable<void> Server::Impl::stream_response(beast::tcp_stream& stream, const Response& response,
                                              unsigned version, std::string& head) {
    using namespace asio::experimental::awaitable_operators;
    const auto head_error = co_await write_response(stream, response, version, false, head);
    if (head_error)
        co_return;
    const std::chrono::steady_clock::duration write_timeout = options.write_timeout;
    const StreamWriter write = [&stream, write_timeout](std::string_view piece) -> awaitable<bool> {
        stream.expires_after(write_timeout);
        auto [ec, n] = co_await asio::async_write(stream, asio::buffer(piece.data(), piece.size()),
                                                  asio::as_tuple(asio::use_awaitable));
        (void)n;
        co_return !ec;
    };
    // The close watcher reads the bare socket: the stream's deadline is for writes only.
    stream.expires_never();
    end_when_undelivered(stream.socket(), write_timeout);
    co_await (response.stream(write) || until_closed(stream.socket()));
}

awaitable<void> Server::Impl::accept_loop() {
    auto self = shared_from_this();
    while (!stopping) {
        auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec) {
            if (stopping || ec == asio::error::operation_aborted)
                break;
            accept_failed("accept failed: {}", ec.message());
            if (out_of_resources(ec))
                co_await pause_accepting();
            continue;
        }
        Peer peer = peer_of(socket, proxies);
        if (!admit(peer))
            continue;  // the socket closes as it goes
        socket.set_option(tcp::no_delay(true), ec);
        const Slot slot = open(std::move(socket), std::move(peer));
        asio::co_spawn(
            event_loop(),
            [self, slot]() -> awaitable<void> {
                try {
                    co_await self->session(slot);
                } catch (const std::exception& e) {
                    get_logger()->error("connection failed: {}", e.what());
                }
                self->end(slot);
            },
            asio::detached);
    }
}

// Until a connection ends or kAcceptPause has passed.
awaitable<void> Server::Impl::pause_accepting() {
    room.expires_after(kAcceptPause);
    co_await room.async_wait(asio::as_tuple(asio::use_awaitable));
}

Server::Server(const App& app, ServerOptions options)
    : impl_(std::make_shared<Impl>(app, std::move(options))) {}

Server::~Server() {
    boost::system::error_code ignored;
    impl_->acceptor.close(ignored);
}

std::uint16_t Server::listen() {
    auto address = asio::ip::make_address(impl_->options.host);
    tcp::endpoint endpoint(address, impl_->options.port);
    auto& acceptor = impl_->acceptor;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    if (impl_->options.reuse_port) {
        int one = 1;
        ::setsockopt(acceptor.native_handle(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    }
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    impl_->connection_limit = most_connections(impl_->options.reserved_descriptors);
    return acceptor.local_endpoint().port();
}

awaitable<void> Server::serve() {
    co_await impl_->accept_loop();
}

awaitable<void> Server::stop(std::chrono::steady_clock::duration grace) {
    auto impl = impl_;
    impl->stopping = true;
    boost::system::error_code ignored;
    impl->acceptor.close(ignored);
    // Idle keep-alive connections are waiting for a request that must not come: end them now.
    for (auto& connection : impl->connections)
        if (connection.phase != Phase::handling)
            connection.stream.cancel();
    if (impl->connections.empty())
        co_return;
    impl->drained.expires_after(grace);
    co_await impl->drained.async_wait(asio::as_tuple(asio::use_awaitable));
    for (auto& connection : impl->connections)
        connection.stream.cancel();
    while (!impl->connections.empty()) {
        asio::steady_timer tick(event_loop(), std::chrono::milliseconds(10));
        co_await tick.async_wait(asio::as_tuple(asio::use_awaitable));
    }
}

std::size_t Server::open_connections() const noexcept {
    return impl_->connections.size();
}

}  // namespace host::http
