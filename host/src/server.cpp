#include "host/server.hpp"

#include "host/logging.hpp"
#include "text.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <list>
#include <optional>

namespace host::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

// ---- client address -------------------------------------------------------------------------

namespace {

using detail::trim_blanks;

bool address_in(const asio::ip::address& address, std::string_view entry) {
    boost::system::error_code ec;
    if (entry.find('/') == std::string_view::npos) {
        auto other = asio::ip::make_address(entry, ec);
        if (ec)
            return false;
        if (address.is_v6() && address.to_v6().is_v4_mapped() && other.is_v4())
            return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()) == other.to_v4();
        return address == other;
    }
    if (address.is_v4()) {
        auto net = asio::ip::make_network_v4(entry, ec);
        return !ec && (net.canonical() ==
                       asio::ip::network_v4(address.to_v4(), net.prefix_length()).canonical());
    }
    auto net = asio::ip::make_network_v6(entry, ec);
    return !ec && (net.canonical() ==
                   asio::ip::network_v6(address.to_v6(), net.prefix_length()).canonical());
}

bool trusted(std::string_view text, const std::vector<std::string>& proxies) {
    boost::system::error_code ec;
    auto address = asio::ip::make_address(text, ec);
    if (ec)
        return false;
    for (const auto& entry : proxies)
        if (address_in(address, entry))
            return true;
    return false;
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
    if (forwarded_for.empty() || !trusted(peer, trusted_proxies))
        return peer;
    // Walk from the right: each trusted hop vouches for the address to its left.
    std::string_view rest = forwarded_for;
    std::string_view candidate;
    while (!rest.empty()) {
        auto comma = rest.rfind(',');
        auto item = trim_blanks(comma == std::string_view::npos ? rest : rest.substr(comma + 1));
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        if (item.empty())
            continue;
        boost::system::error_code ec;
        asio::ip::make_address(item, ec);
        if (ec)
            break;  // garbage from the client side: stop believing the header here
        candidate = item;
        if (!trusted(item, trusted_proxies))
            return std::string(item);
    }
    return candidate.empty() ? peer : std::string(candidate);
}

// ---- server -----------------------------------------------------------------------------------

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    const App& app;
    ServerOptions options;
    tcp::acceptor acceptor;
    bool stopping = false;

    struct Connection {
        beast::tcp_stream* stream = nullptr;
        bool busy = false;
    };
    std::list<Connection> connections;
    asio::steady_timer drained;

    Impl(const App& a, ServerOptions o)
        : app(a), options(std::move(o)), acceptor(event_loop()), drained(event_loop()) {
        drained.expires_at(asio::steady_timer::time_point::max());
    }

    awaitable<void> session(tcp::socket socket);
    awaitable<void> accept_loop();
};

namespace {

Request to_request(const bhttp::request<bhttp::string_body>& message, const std::string& client) {
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos)
        request.query = request.target.substr(question + 1);
    for (const auto& field : message) {
        std::string name(field.name_string());
        for (auto& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        request.headers.emplace_back(std::move(name), std::string(field.value()));
    }
    request.body = message.body();
    request.client_host = client;
    return request;
}

using WireResponse = bhttp::response<bhttp::span_body<const char>>;

WireResponse to_wire(const Response& response, unsigned version, bool keep_alive) {
    WireResponse wire{static_cast<bhttp::status>(response.status), version};
    wire.reason(reason_phrase(response.status));
    wire.set(bhttp::field::server, "kavara");
    if (!response.media_type.empty())
        wire.set(bhttp::field::content_type, response.media_type);
    for (const auto& [name, value] : response.headers)
        wire.set(name, value);
    wire.body() = beast::span<const char>(response.body.data(), response.body.size());
    wire.keep_alive(keep_alive);
    if (response.status == 204 || response.status == 304) {
        wire.body() = {};
    } else {
        wire.prepare_payload();
    }
    return wire;
}

// Answers that end the connection: the request could not be read.
unsigned status_for_read_error(const boost::system::error_code& ec) {
    if (ec == bhttp::error::header_limit)
        return 431;
    if (ec == bhttp::error::body_limit)
        return 413;
    return 400;
}

bool is_parse_error(const boost::system::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

}  // namespace

awaitable<void> Server::Impl::session(tcp::socket socket) {
    auto self = shared_from_this();
    boost::system::error_code peer_ec;
    auto endpoint = socket.remote_endpoint(peer_ec);
    std::string peer = peer_ec ? std::string() : endpoint.address().to_string();
    if (!peer_ec && endpoint.address().is_v6() && endpoint.address().to_v6().is_v4_mapped())
        peer =
            asio::ip::make_address_v4(asio::ip::v4_mapped, endpoint.address().to_v6()).to_string();

    beast::tcp_stream stream(std::move(socket));
    auto slot = connections.insert(connections.end(), Connection{&stream, false});
    beast::flat_buffer buffer;

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
                const Response answer = error_response(
                    status_for_read_error(read_ec), reason_phrase(status_for_read_error(read_ec)));
                auto wire = to_wire(answer, 11, false);
                stream.expires_after(options.write_timeout);
                co_await bhttp::async_write(stream, wire, asio::as_tuple(asio::use_awaitable));
            }
            break;
        }
        slot->busy = true;
        const auto& message = parser.get();
        std::string client =
            client_address(peer, message["X-Forwarded-For"], options.trusted_proxies);
        Request request = to_request(message, client);
        Response response = co_await app.handle(request);
        bool keep_alive = message.keep_alive() && !stopping;
        auto wire = to_wire(response, message.version(), keep_alive);
        stream.expires_after(options.write_timeout);
        auto [write_ec, write_n] =
            co_await bhttp::async_write(stream, wire, asio::as_tuple(asio::use_awaitable));
        (void)write_n;
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
