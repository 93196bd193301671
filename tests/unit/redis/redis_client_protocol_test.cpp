// The client against a scripted server on a thread of its own: the wire behaviour that a real
// server rarely shows (malformed replies, replies cut short, replies spread over many reads) and
// the proof that commands are pipelined rather than sent one reply at a time.
#include "host/redis.hpp"
#include "redis_codec.hpp"
#include "redis_test_helpers.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <poll.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using host::redis::Client;
using host::redis::RedisError;
using host::redis::Reply;
using kavara::test::failure_of;
using kavara::test::run;
using namespace std::string_literals;
using namespace asio::experimental::awaitable_operators;

// Blocks until `fd` can be read or accepted from, at most a few seconds.
void wait_readable(int fd) {
    pollfd wanted{fd, POLLIN, 0};
    if (::poll(&wanted, 1, 5000) != 1)
        throw std::runtime_error("the client sent nothing");
}

// One accepted client connection, read and written with blocking calls.
class Peer {
  public:
    explicit Peer(tcp::socket socket) : socket_(std::move(socket)) {
        socket_.set_option(tcp::no_delay(true));
    }

    std::vector<std::string> read_command() {
        for (;;) {
            if (auto request = reader_.next()) {
                std::vector<std::string> args;
                for (std::size_t i = 0; i < request->elements; ++i)
                    args.emplace_back(request->element[i]->str, request->element[i]->len);
                return args;
            }
            char buffer[4096];
            wait_readable(socket_.native_handle());
            std::size_t n = socket_.read_some(asio::buffer(buffer));
            reader_.feed(std::string_view(buffer, n));
        }
    }

    void send(std::string_view bytes) { asio::write(socket_, asio::buffer(bytes)); }

    // Writes `bytes` in one-byte segments, so the client sees them over many reads.
    void trickle(std::string_view bytes) {
        for (char byte : bytes) {
            send(std::string_view(&byte, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void close() { socket_.close(); }

  private:
    tcp::socket socket_;
    host::redis::detail::ReplyReader reader_;
};

// Runs `script` on a thread against the connections it accepts. Every blocking call gives up
// after a few seconds, so that a client that misbehaves fails the test instead of hanging it.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::function<void(ScriptedServer&)> script)
        : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {
        thread_ = std::thread([this, script = std::move(script)] {
            try {
                script(*this);
            } catch (const std::exception& e) {
                failure_ = e.what();
            }
        });
    }

    ~ScriptedServer() {
        if (thread_.joinable())
            thread_.join();
    }

    std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

    Peer accept() {
        wait_readable(acceptor_.native_handle());
        return Peer(acceptor_.accept());
    }

    // Waits for the script to end and returns what went wrong in it, if anything.
    std::string finish() {
        thread_.join();
        return failure_;
    }

  private:
    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::string failure_;
    std::thread thread_;
};

host::redis::Options options_for(const ScriptedServer& server) {
    host::redis::Options options;
    options.host = "127.0.0.1";
    options.port = server.port();
    options.socket_timeout = 2.0;
    return options;
}

std::string bulk(std::string_view value) {
    return "$" + std::to_string(value.size()) + "\r\n" + std::string(value) + "\r\n";
}

TEST(RedisClientProtocol, SendsQueuedCommandsWithoutWaitingForReplies) {
    ScriptedServer server([](ScriptedServer& self) {
        Peer peer = self.accept();
        // Nothing is answered until all three commands are in: a client that waited for each
        // reply before sending the next would time out here.
        for (const char* key : {"k1", "k2", "k3"}) {
            auto command = peer.read_command();
            if (command != std::vector<std::string>{"GET", key})
                throw std::runtime_error("out of order: " + command.at(1));
        }
        peer.send(bulk("v1") + bulk("v2") + bulk("v3"));
    });
    Client client(host::event_loop().get_executor(), options_for(server));

    auto [v1, v2, v3] = run(client.get("k1") && client.get("k2") && client.get("k3"));
    EXPECT_EQ(v1.value(), "v1");
    EXPECT_EQ(v2.value(), "v2");
    EXPECT_EQ(v3.value(), "v3");
    EXPECT_EQ(server.finish(), "");
}

TEST(RedisClientProtocol, ReassemblesAReplySpreadOverManyReads) {
    const std::string value = "a\0b\r\n\xff"s;
    ScriptedServer server([&](ScriptedServer& self) {
        Peer peer = self.accept();
        peer.read_command();
        peer.trickle("*3\r\n" + bulk(value) + ":42\r\n$-1\r\n");
    });
    Client client(host::event_loop().get_executor(), options_for(server));

    const std::vector<std::string_view> args{"FAKE"};
    Reply reply = run(client.command(args));
    ASSERT_EQ(reply.elements.size(), 3u);
    EXPECT_EQ(reply.elements[0].str, value);
    EXPECT_EQ(reply.elements[1].integer, 42);
    EXPECT_TRUE(reply.elements[2].is_nil());
    EXPECT_EQ(server.finish(), "");
}

TEST(RedisClientProtocol, AMalformedReplyFailsEveryWaiterAndTheNextCommandReconnects) {
    ScriptedServer server([](ScriptedServer& self) {
        Peer first = self.accept();
        first.read_command();
        first.read_command();
        first.send("?garbage\r\n");
        Peer second = self.accept();
        second.read_command();
        second.send(bulk("fresh"));
    });
    Client client(host::event_loop().get_executor(), options_for(server));

    auto [first, second] = run(failure_of(client.get("a")) && failure_of(client.get("b")));
    EXPECT_NE(first.find("Protocol error"), std::string::npos) << first;
    EXPECT_EQ(second, first);
    EXPECT_EQ(run(client.get("c")).value(), "fresh");
    EXPECT_EQ(server.finish(), "");
}

TEST(RedisClientProtocol, AConnectionClosedMidReplyFailsTheWaiter) {
    ScriptedServer server([](ScriptedServer& self) {
        Peer peer = self.accept();
        peer.read_command();
        peer.send("$10\r\nabc");
        peer.close();
    });
    Client client(host::event_loop().get_executor(), options_for(server));

    auto start = std::chrono::steady_clock::now();
    std::string message = run(failure_of(client.get("k")));
    EXPECT_NE(message.find("closed by server"), std::string::npos) << message;
    EXPECT_LT(kavara::test::seconds_since(start), 1.0);  // not the socket time-out
    EXPECT_EQ(server.finish(), "");
}

// The server may have run a command before the connection broke, so resending it on a new
// connection could count or apply it twice.
TEST(RedisClientProtocol, ACommandSentBeforeTheConnectionBrokeIsNotResent) {
    // Reads the commands of the first connection, then hangs up without a reply; the second
    // connection must start with the next command of the caller, not the lost one again.
    auto hang_up_after = [](std::size_t commands) {
        return [commands](ScriptedServer& self) {
            Peer first = self.accept();
            for (std::size_t i = 0; i < commands; ++i)
                first.read_command();
            first.close();
            Peer second = self.accept();
            auto command = second.read_command();
            if (command != std::vector<std::string>{"GET", "after"})
                throw std::runtime_error("resent: " + command.at(0));
            second.send(bulk("fresh"));
        };
    };

    // Section: a single INCR.
    {
        ScriptedServer server(hang_up_after(1));
        Client client(host::event_loop().get_executor(), options_for(server));
        const std::string message = run(failure_of(client.incr("n")));
        EXPECT_NE(message.find("closed by server"), std::string::npos) << message;
        EXPECT_EQ(run(client.get("after")).value(), "fresh");
        EXPECT_EQ(server.finish(), "");
    }

    // Section: MULTI, INCR, EXEC.
    {
        ScriptedServer server(hang_up_after(3));
        Client client(host::event_loop().get_executor(), options_for(server));
        const std::vector<std::vector<std::string_view>> commands{{"INCR", "n"}};
        const std::string message = run(failure_of(client.transaction(commands)));
        EXPECT_NE(message.find("closed by server"), std::string::npos) << message;
        EXPECT_EQ(run(client.get("after")).value(), "fresh");
        EXPECT_EQ(server.finish(), "");
    }
}

TEST(RedisClientProtocol, AReplyNobodyAskedForDropsTheConnection) {
    ScriptedServer server([](ScriptedServer& self) {
        Peer first = self.accept();
        first.read_command();
        first.send("+OK\r\n+EXTRA\r\n");
        Peer second = self.accept();
        second.read_command();
        second.send(":2\r\n");
    });
    Client client(host::event_loop().get_executor(), options_for(server));

    EXPECT_EQ(run(client.command({"PING"})).str, "OK");
    // The stray reply would otherwise be taken as the answer to the next command.
    EXPECT_EQ(run(client.incr("n")), 2);
    EXPECT_EQ(server.finish(), "");
}

}  // namespace
