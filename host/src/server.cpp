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

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <list>
#include <optional>

namespace host::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

// ---- client address -------------------------------------------------------------------------

namespace {

using host::detail::trim_blanks;

// The trusted proxies, parsed once: single addresses and networks. Entries that are neither
// never match.
class ProxyList {
  public:
    explicit ProxyList(const std::vector<std::string>& entries) {
        for (const auto& entry : entries) {
            boost::system::error_code ec;
            if (entry.find('/') == std::string::npos) {
                auto address = asio::ip::make_address(entry, ec);
                if (!ec)
                    addresses_.push_back(address);
            } else if (auto v4 = asio::ip::make_network_v4(entry, ec); !ec) {
                networks_v4_.push_back(v4.canonical());
            } else if (auto v6 = asio::ip::make_network_v6(entry, ec); !ec) {
                networks_v6_.push_back(v6.canonical());
            }
        }
    }

    bool contains(const asio::ip::address& address) const {
        for (const auto& other : addresses_) {
            if (address.is_v6() && address.to_v6().is_v4_mapped() && other.is_v4()) {
                if (asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()) ==
                    other.to_v4())
                    return true;
            } else if (address == other) {
                return true;
            }
        }
        if (address.is_v4()) {
            for (const auto& net : networks_v4_)
                if (net == asio::ip::network_v4(address.to_v4(), net.prefix_length()).canonical())
                    return true;
        } else {
            for (const auto& net : networks_v6_)
                if (net == asio::ip::network_v6(address.to_v6(), net.prefix_length()).canonical())
                    return true;
        }
        return false;
    }

    bool contains(std::string_view text) const {
        boost::system::error_code ec;
        auto address = asio::ip::make_address(text, ec);
        return !ec && contains(address);
    }

  private:
    std::vector<asio::ip::address> addresses_;
    std::vector<asio::ip::network_v4> networks_v4_;
    std::vector<asio::ip::network_v6> networks_v6_;
};

// Walks X-Forwarded-For from the right: each trusted hop vouches for the address to its left.
std::string client_behind(const std::string& peer, std::string_view forwarded_for,
                          const ProxyList& proxies) {
    std::string_view rest = forwarded_for;
    std::string_view candidate;
    while (!rest.empty()) {
        auto comma = rest.rfind(',');
        auto item = trim_blanks(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        if (item.empty())
            continue;
        boost::system::error_code ec;
        auto address = asio::ip::make_address(item, ec);
        if (ec)
            break;  // garbage from the client side: stop believing the header here
        candidate = item;
        if (!proxies.contains(address))
            return std::string(item);
    }
    return candidate.empty() ? peer : std::string(candidate);
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
    if (forwarded_for.empty())
        return peer;
    const ProxyList proxies(trusted_proxies);
    return proxies.contains(peer) ? client_behind(peer, forwarded_for, proxies) : peer;
}

// ---- server -----------------------------------------------------------------------------------

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    const App& app;
    ServerOptions options;
    ProxyList proxies;
    tcp::acceptor acceptor;
    bool stopping = false;

    struct Connection {
        beast::tcp_stream* stream = nullptr;
        bool busy = false;
    };
    std::list<Connection> connections;
    asio::steady_timer drained;

    Impl(const App& a, ServerOptions o)
        : app(a),
          options(std::move(o)),
          proxies(options.trusted_proxies),
          acceptor(event_loop()),
          drained(event_loop()) {
        drained.expires_at(asio::steady_timer::time_point::max());
    }

    awaitable<void> session(tcp::socket socket);
    awaitable<boost::system::error_code> write_response(beast::tcp_stream& stream,
                                                        const Response& response, unsigned version,
                                                        bool keep_alive, std::string& head);
    awaitable<void> stream_response(beast::tcp_stream& stream, const Response& response,
                                    unsigned version, std::string& head);
    awaitable<void> accept_loop();
};

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

awaitable<void> Server::Impl::session(tcp::socket socket) {
    auto self = shared_from_this();
    boost::system::error_code peer_ec;
    auto peer_address = socket.remote_endpoint(peer_ec).address();
    if (!peer_ec && peer_address.is_v6() && peer_address.to_v6().is_v4_mapped())
        peer_address = asio::ip::make_address_v4(asio::ip::v4_mapped, peer_address.to_v6());
    const std::string peer = peer_ec ? std::string() : peer_address.to_string();
    // The peer does not change on a connection: whether it is a trusted proxy is asked once.
    const bool peer_trusted = !peer_ec && proxies.contains(peer_address);

    beast::tcp_stream stream(std::move(socket));
    auto slot = connections.insert(connections.end(), Connection{&stream, false});
    beast::flat_buffer buffer;
    std::string head;  // the header block of each answer, reused

    while (!stopping) {
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
        slot->busy = true;
        auto& message = parser.get();
        const auto forwarded_for = message["X-Forwarded-For"];
        std::string client = peer_trusted && !forwarded_for.empty()
                                 ? client_behind(peer, forwarded_for, proxies)
                                 : peer;
        Request request = detail::to_request(message, std::move(client));
        request.via_trusted_proxy = peer_trusted;
        Response response = co_await app.handle(request);
        if (response.stream) {
            // A stream may last for hours: stop() ends it at once, like an idle connection.
            slot->busy = false;
            co_await stream_response(stream, response, message.version(), head);
            break;
        }
        bool keep_alive = message.keep_alive() && !stopping;
        const auto write_ec =
            co_await write_response(stream, response, message.version(), keep_alive, head);
        slot->busy = false;
        if (write_ec || !keep_alive)
            break;
    }
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream.close();
    connections.erase(slot);
    if (stopping && connections.empty())
        drained.cancel();
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
    co_await (response.stream(write) || until_closed(stream.socket()));
}

awaitable<void> Server::Impl::accept_loop() {
    auto self = shared_from_this();
    while (!stopping) {
        auto [ec, socket] = co_await acceptor.async_accept(asio::as_tuple(asio::use_awaitable));
        if (ec) {
            if (stopping || ec == asio::error::operation_aborted)
                break;
            get_logger()->warn("accept failed: {}", ec.message());
            continue;
        }
        socket.set_option(tcp::no_delay(true), ec);
        asio::co_spawn(
            event_loop(),
            [self, s = std::move(socket)]() mutable -> awaitable<void> {
                try {
                    co_await self->session(std::move(s));
                } catch (const std::exception& e) {
                    get_logger()->error("connection failed: {}", e.what());
                }
            },
            asio::detached);
    }
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
        if (!connection.busy)
            connection.stream->cancel();
    if (impl->connections.empty())
        co_return;
    impl->drained.expires_after(grace);
    co_await impl->drained.async_wait(asio::as_tuple(asio::use_awaitable));
    for (auto& connection : impl->connections)
        connection.stream->cancel();
    while (!impl->connections.empty()) {
        asio::steady_timer tick(event_loop(), std::chrono::milliseconds(10));
        co_await tick.async_wait(asio::as_tuple(asio::use_awaitable));
    }
}

std::size_t Server::open_connections() const noexcept {
    return impl_->connections.size();
}

}  // namespace host::http
