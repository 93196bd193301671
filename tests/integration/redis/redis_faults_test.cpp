// The client when the server is missing, stopped, stalled or silent, and when callers give up:
// every waiter ends on time with RedisError, and the connection never gets out of step.
#include "host/redis.hpp"
#include "redis_test_helpers.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <boost/asio/experimental/awaitable_operators.hpp>

#include <chrono>
#include <string>

namespace {

namespace asio = boost::asio;
using host::awaitable;
using host::redis::Client;
using host::redis::RedisError;
using kavara::test::failure_of;
using kavara::test::local_redis;
using kavara::test::run;
using kavara::test::seconds_since;
using Clock = std::chrono::steady_clock;
using namespace asio::experimental::awaitable_operators;

std::string address(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

awaitable<void> sleep_for(double seconds) {
    asio::steady_timer timer(co_await asio::this_coro::executor,
                             host::seconds_to_duration(seconds));
    co_await timer.async_wait(asio::use_awaitable);
}

std::int64_t connection_id(Client& client) {
    return run(client.command({"CLIENT", "ID"})).integer;
}

TEST(RedisFaults, ARefusedConnectionFailsAtOnceWithTheAddress) {
    const auto port = kavara::test::free_port();
    Client client(host::event_loop().get_executor(), local_redis(port));
    const auto start = Clock::now();
    EXPECT_EQ(run(failure_of(client.get("k"))),
              "Error connecting to " + address(port) + ": Connection refused");
    EXPECT_LT(seconds_since(start), 1.0);
}

TEST(RedisFaults, AStoppedServerFailsPromptlyAndARestartedOneIsReconnected) {
    kavara::test::ScratchRedis redis;
    Client client(host::event_loop().get_executor(), local_redis(redis.port()));
    run(client.set("k", "before"));

    redis.stop();
    const auto start = Clock::now();
    EXPECT_FALSE(run(failure_of(client.get("k"))).empty());
    EXPECT_FALSE(run(failure_of(client.get("k"))).empty());
    EXPECT_LT(seconds_since(start), 1.0);

    redis.start();
    EXPECT_FALSE(run(client.get("k")).has_value());  // a fresh server without persistence
    run(client.set("k", "after"));
    EXPECT_EQ(run(client.get("k"))->str(), "after");
}

TEST(RedisFaults, AStalledServerFailsEveryWaiterAfterTheSocketTimeout) {
    kavara::test::ScratchRedis redis;
    Client client(host::event_loop().get_executor(), local_redis(redis.port(), 0.5));
    run(client.set("k", "v"));

    redis.pause();
    const auto start = Clock::now();
    auto [first, second, third] = run(failure_of(client.get("k")) && failure_of(client.incr("n")) &&
                                      failure_of(client.get("k")));
    const double waited = seconds_since(start);
    const std::string timeout = "Timeout reading from " + address(redis.port());
    EXPECT_EQ(first, timeout);
    EXPECT_EQ(second, timeout);
    EXPECT_EQ(third, timeout);
    EXPECT_GE(waited, 0.45);
    EXPECT_LT(waited, 2.0);

    redis.resume();
    EXPECT_EQ(run(client.get("k"))->str(), "v");
}

TEST(RedisFaults, AListenerThatNeverAnswersTimesOut) {
    kavara::test::SilentListener silent;

    // Section: the reply never comes.
    Client reading(host::event_loop().get_executor(), local_redis(silent.port(), 0.5));
    auto start = Clock::now();
    EXPECT_EQ(run(failure_of(reading.get("k"))), "Timeout reading from " + address(silent.port()));
    EXPECT_LT(seconds_since(start), 2.0);

    // Section: selecting a database is part of connecting, under the connect time-out.
    auto options = local_redis(silent.port());
    options.db = 1;
    options.connect_timeout = 0.5;
    Client selecting(host::event_loop().get_executor(), options);
    start = Clock::now();
    EXPECT_EQ(run(failure_of(selecting.get("k"))),
              "Timeout connecting to " + address(silent.port()));
    EXPECT_LT(seconds_since(start), 2.0);
}

TEST(RedisFaults, ADatabaseTheServerRefusesFailsTheConnect) {
    kavara::test::ScratchRedis redis;
    auto options = local_redis(redis.port());
    options.db = 1000;
    Client client(host::event_loop().get_executor(), options);
    const std::string message = run(failure_of(client.get("k")));
    EXPECT_NE(message.find("Error selecting database 1000"), std::string::npos) << message;
}

TEST(RedisFaults, ACancelledWaitReturnsOnTimeAndLaterRepliesStayMatched) {
    kavara::test::ScratchRedis redis;
    Client client(host::event_loop().get_executor(), local_redis(redis.port()));
    run(client.set("a", "A"));
    run(client.set("b", "B"));
    const auto id = connection_id(client);

    redis.pause();
    const auto start = Clock::now();
    EXPECT_THROW(run(host::wait_for(client.get("a"), 0.3)), host::TimeoutError);
    EXPECT_LT(seconds_since(start), 1.5);
    redis.resume();

    // The reply to the abandoned GET a arrives first and must not be taken for these.
    EXPECT_EQ(run(client.get("b"))->str(), "B");
    EXPECT_EQ(run(client.get("a"))->str(), "A");
    EXPECT_EQ(connection_id(client), id);
}

TEST(RedisFaults, DisconnectFailsWaitersAndTheNextCommandReconnects) {
    kavara::test::ScratchRedis redis;
    Client client(host::event_loop().get_executor(), local_redis(redis.port()));
    const auto id = connection_id(client);

    redis.pause();
    auto disconnect_soon = [&]() -> awaitable<void> {
        co_await sleep_for(0.1);
        client.disconnect();
    };
    const std::string message = run(failure_of(client.get("k")) && disconnect_soon());
    EXPECT_EQ(message, "Disconnected from " + address(redis.port()));
    redis.resume();

    EXPECT_NE(connection_id(client), id);
}

TEST(RedisFaults, AClientDestroyedWithCommandsPendingFailsThemWhenTheLoopRunsAgain) {
    kavara::test::ScratchRedis redis;
    redis.pause();
    auto client =
        std::make_unique<Client>(host::event_loop().get_executor(), local_redis(redis.port()));
    std::string message;
    asio::co_spawn(host::event_loop(), failure_of(client->get("k")),
                   [&](std::exception_ptr, std::string m) { message = std::move(m); });
    run(sleep_for(0.1));  // the GET is written and waiting
    client.reset();

    run(sleep_for(0.05));
    EXPECT_EQ(message, "Redis client destroyed");
    redis.resume();
}

}  // namespace
