#pragma once

#include "host/router.hpp"
#include "host/runtime.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace host::http {

struct ServerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8000;  // 0 picks a free port
    std::size_t header_limit = 16 * 1024;
    std::size_t body_limit = 1024 * 1024;
    std::chrono::steady_clock::duration idle_timeout = std::chrono::seconds(30);
    std::chrono::steady_clock::duration write_timeout = std::chrono::seconds(30);
    // Proxies whose X-Forwarded-For is believed: addresses or CIDR blocks.
    std::vector<std::string> trusted_proxies = {"127.0.0.1", "::1"};
    bool reuse_port = false;  // several worker processes share the port
    // Connections one client address may hold open; a new one beyond it is closed at once,
    // unanswered. Trusted proxies carry many clients and are not held to it.
    std::size_t max_connections_per_client = 256;
    // Descriptors kept free of connections for the pools, Redis, files and logs: the server
    // holds at most the descriptor limit (RLIMIT_NOFILE) less these, and at that many it closes
    // the connection that has waited longest for its next request to make room for a new one.
    std::size_t reserved_descriptors = 64;
};

// The trusted proxies of a comma-separated list of addresses or CIDR blocks ("10.0.0.0/8, ::1");
// blanks around the entries and empty entries are left out.
std::vector<std::string> parse_trusted_proxies(std::string_view text);

// The client address of a request: the peer, or, when the peer is a trusted proxy, the
// right-most address of X-Forwarded-For (every line of it, in order, joined by commas) that is
// not a trusted proxy itself; the walk stops at the first item that is not an address. The
// address is written in one form: IPv6 compressed in lower case without its scope, IPv4-mapped
// IPv6 as IPv4; so a client has one text, never longer than an address. A peer that is no
// address is returned as given.
std::string client_address(const std::string& peer, std::string_view forwarded_for,
                           const std::vector<std::string>& trusted_proxies);

// HTTP/1.1 server on the event loop: keep-alive, a fresh parser with header and body limits per
// request, a deadline before every read and write, 400 and close on malformed input. The
// connections are bounded per client and in all (see ServerOptions); out of descriptors, it
// pauses accepting until a connection ends or 100 ms pass, and logs that once a second at most.
class Server {
  public:
    Server(const App& app, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens; returns the bound port. Throws std::system_error on failure.
    std::uint16_t listen();
    // Accepts connections until stop(); run it with co_spawn on the event loop.
    awaitable<void> serve();
    // Stops accepting, closes idle connections and lets in-flight requests finish; connections
    // still busy after `grace` are closed. Completes when every connection has ended.
    awaitable<void> stop(std::chrono::steady_clock::duration grace = std::chrono::seconds(10));

    std::size_t open_connections() const noexcept;

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace host::http
