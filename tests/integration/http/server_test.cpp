// The HTTP server over real sockets: keep-alive, pipelining, limits, malformed input, idle
// connections and graceful shutdown.
#include "host/server.hpp"
#include "support.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

host::http::App make_app() {
    host::http::App app;
    app.add(
        {.method = "GET",
         .path = "/hello",
         .name = "hello",
         .handler = [](host::http::Call& call) -> host::awaitable<host::http::Response> {
             const auto* request = &call.request();
             co_return host::http::json_response({{"client", request->client_host.value_or("")}});
         }});
    app.add({.method = "POST",
             .path = "/echo",
             .name = "echo",
             .handler = [](host::http::Call& call) -> host::awaitable<host::http::Response> {
                 co_return host::http::raw_response(host::Bytes(call.request().body), "text/plain");
             }});
    app.add({.method = "GET",
             .path = "/headers",
             .name = "headers",
             .handler = [](host::http::Call&) -> host::awaitable<host::http::Response> {
                 co_return host::http::raw_response(host::Bytes(std::string("a,b")), "text/plain",
                                                    {{"X-Twice", "first"},
                                                     {"Content-Type", "text/csv"},
                                                     {"X-Split", "a\r\nInjected: yes"},
                                                     {"x-twice", "second"}});
             }});
    app.add({.method = "GET",
             .path = "/empty",
             .name = "empty",
             .handler = [](host::http::Call&) -> host::awaitable<host::http::Response> {
                 co_return host::http::empty_response(204);
             }});
    app.add({.method = "GET",
             .path = "/slow",
             .name = "slow",
             .handler = [](host::http::Call&) -> host::awaitable<host::http::Response> {
                 asio::steady_timer t(co_await asio::this_coro::executor, 300ms);
                 co_await t.async_wait(asio::use_awaitable);
                 co_return host::http::json_response({{"slow", true}});
             }});
    return app;
}

// A server on the process's event loop, run by a thread of its own.
class ServerFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        app_ = std::make_unique<host::http::App>(make_app());
        host::http::ServerOptions options;
        options.port = 0;
        options.idle_timeout = idle_timeout();
        server_ = std::make_unique<host::http::Server>(*app_, options);
        port_ = server_->listen();
        auto& loop = host::event_loop();
        loop.restart();
        work_.emplace(loop.get_executor());
        asio::co_spawn(loop, server_->serve(), asio::detached);
        thread_ = std::thread([&loop] { loop.run(); });
    }
    void TearDown() override {
        if (server_)
            stop_server();
        work_.reset();
        host::event_loop().stop();
        thread_.join();
    }
    virtual std::chrono::steady_clock::duration idle_timeout() { return 30s; }

    void stop_server() {
        std::promise<void> done;
        asio::co_spawn(host::event_loop(), server_->stop(2s),
                       [&](std::exception_ptr) { done.set_value(); });
        done.get_future().wait();
    }

    tcp::socket connect() {
        tcp::socket socket(client_io_);
        socket.connect({asio::ip::make_address("127.0.0.1"), port_});
        return socket;
    }

    std::unique_ptr<host::http::App> app_;
    std::unique_ptr<host::http::Server> server_;
    std::uint16_t port_ = 0;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    std::thread thread_;
    asio::io_context client_io_;
};

// Everything the server sends until it closes the connection.
std::string read_all(tcp::socket& socket) {
    std::string out;
    boost::system::error_code ec;
    asio::read(socket, asio::dynamic_buffer(out), ec);
    return out;
}

// One response (headers and Content-Length body) from the socket; `buffer` keeps what follows.
std::string read_response(tcp::socket& socket, std::string& buffer) {
    auto header_end = asio::read_until(socket, asio::dynamic_buffer(buffer), "\r\n\r\n");
    std::string head = buffer.substr(0, header_end);
    std::size_t length = 0;
    auto pos = head.find("Content-Length: ");
    if (pos != std::string::npos)
        length = std::stoul(head.substr(pos + 16));
    if (buffer.size() < header_end + length)
        asio::read(socket, asio::dynamic_buffer(buffer),
                   asio::transfer_exactly(header_end + length - buffer.size()));
    std::string response = buffer.substr(0, header_end + length);
    buffer.erase(0, header_end + length);
    return response;
}

void send(tcp::socket& socket, const std::string& data) {
    asio::write(socket, asio::buffer(data));
}

TEST_F(ServerFixture, KeepAliveServesSeveralRequestsOnOneConnection) {
    auto socket = connect();
    std::string buffer;
    for (int i = 0; i < 3; ++i) {
        send(socket, "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n");
        auto response = read_response(socket, buffer);
        EXPECT_TRUE(response.starts_with("HTTP/1.1 200 OK")) << response;
        EXPECT_NE(response.find("\"client\":\"127.0.0.1\""), std::string::npos);
    }
    send(socket, "GET /hello HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    auto last = read_all(socket);
    EXPECT_TRUE(last.starts_with("HTTP/1.1 200 OK"));
}

TEST_F(ServerFixture, HeaderBlockOfAnswers) {
    auto socket = connect();
    std::string buffer;
    send(socket, "GET /headers HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto fields = read_response(socket, buffer);
    EXPECT_EQ(fields,
              "HTTP/1.1 200 OK\r\nServer: kavara\r\nContent-Type: text/csv\r\n"
              "x-twice: second\r\nContent-Length: 3\r\n\r\na,b");
    send(socket, "GET /empty HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(read_response(socket, buffer),
              "HTTP/1.0 204 No Content\r\nServer: kavara\r\nConnection: keep-alive\r\n\r\n");
    send(socket, "GET /empty HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(read_all(socket),
              "HTTP/1.1 204 No Content\r\nServer: kavara\r\nConnection: close\r\n\r\n");
}

TEST_F(ServerFixture, PipelinedRequestsAreAnsweredInOrder) {
    auto socket = connect();
    send(socket,
         "GET /slow HTTP/1.1\r\nHost: x\r\n\r\n"
         "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nfirst"
         "POST /echo HTTP/1.1\r\nHost: x\r\nContent-Length: 6\r\nConnection: close\r\n\r\nsecond");
    auto all = read_all(socket);
    auto slow = all.find("\"slow\":true");
    auto first = all.find("first");
    auto second = all.find("second");
    ASSERT_NE(slow, std::string::npos);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(slow, first);
    EXPECT_LT(first, second);
}

TEST_F(ServerFixture, MalformedRequestGets400AndTheConnectionCloses) {
    for (const char* junk : {"GARBAGE\r\n\r\n", "GET /hello HTTP/9.9\r\n\r\n",
                             "GET /hello HTTP/1.1\r\nBad Header\r\n\r\n",
                             "POST /echo HTTP/1.1\r\nContent-Length: -4\r\n\r\n"}) {
        auto socket = connect();
        send(socket, junk);
        auto response = read_all(socket);
        EXPECT_TRUE(response.starts_with("HTTP/1.1 400")) << junk << " -> " << response;
        EXPECT_NE(response.find("Connection: close"), std::string::npos);
    }
}

TEST_F(ServerFixture, HeaderAndBodyLimits) {
    {
        auto socket = connect();
        send(socket, "GET /hello HTTP/1.1\r\nX-Big: " + std::string(17 * 1024, 'a') + "\r\n\r\n");
        EXPECT_TRUE(read_all(socket).starts_with("HTTP/1.1 431"));
    }
    {
        auto socket = connect();
        send(socket, "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(1024 * 1024 + 1) +
                         "\r\n\r\n");
        EXPECT_TRUE(read_all(socket).starts_with("HTTP/1.1 413"));
    }
    {
        // Exactly at the limit is fine.
        auto socket = connect();
        send(socket, "POST /echo HTTP/1.1\r\nConnection: close\r\nContent-Length: " +
                         std::to_string(1024 * 1024) + "\r\n\r\n" + std::string(1024 * 1024, 'b'));
        auto response = read_all(socket);
        EXPECT_TRUE(response.starts_with("HTTP/1.1 200")) << response.substr(0, 100);
    }
}

TEST_F(ServerFixture, RandomBytesNeverCrashTheServer) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        auto socket = connect();
        std::string noise(1 + random() % 600, '\0');
        for (auto& c : noise)
            c = static_cast<char>(random());
        if (round % 3 == 0)
            noise = "GET /" + noise;
        boost::system::error_code ec;
        asio::write(socket, asio::buffer(noise), ec);
        socket.shutdown(tcp::socket::shutdown_send, ec);
        read_all(socket);
    }
    auto socket = connect();
    send(socket, "GET /hello HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(read_all(socket).starts_with("HTTP/1.1 200"));
}

TEST_F(ServerFixture, GracefulStopFinishesInFlightRequests) {
    auto socket = connect();
    auto idle = connect();
    send(socket, "GET /slow HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(50ms);  // the request is being handled
    auto started = std::chrono::steady_clock::now();
    stop_server();
    auto response = read_all(socket);
    EXPECT_TRUE(response.starts_with("HTTP/1.1 200")) << response;
    EXPECT_NE(response.find("Connection: close"), std::string::npos);
    EXPECT_LT(kavara::test::seconds_since(started), 1.5);
    EXPECT_EQ(read_all(idle), "");  // the idle keep-alive connection was closed
    server_.reset();
    boost::system::error_code ec;
    tcp::socket refused(client_io_);
    refused.connect({asio::ip::make_address("127.0.0.1"), port_}, ec);
    EXPECT_TRUE(ec);
}

class ShortIdleServer : public ServerFixture {
    std::chrono::steady_clock::duration idle_timeout() override { return 300ms; }
};

TEST_F(ShortIdleServer, IdleConnectionsAreClosed) {
    auto socket = connect();
    std::string buffer;
    send(socket, "GET /hello HTTP/1.1\r\nHost: x\r\n\r\n");
    read_response(socket, buffer);
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(read_all(socket), "");
    double waited = kavara::test::seconds_since(started);
    EXPECT_GT(waited, 0.2);
    EXPECT_LT(waited, 2.0);
    // A client that sends half a request and stalls is cut off too.
    auto slowloris = connect();
    send(slowloris, "GET /hello HTTP/1.1\r\nHost:");
    EXPECT_EQ(read_all(slowloris), "");
}

}  // namespace
