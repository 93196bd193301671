// A connection the server hung up on between commands: the next command gets a fresh one instead
// of failing on the dead one, while a server that is really gone still fails within the
// time-outs. Most cases keep the event loop still while the server goes away, as a busy process
// would, so the client learns of the hang-up only when the next command comes.
#include "host/redis.hpp"
#include "redis_test_helpers.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace {

namespace asio = boost::asio;
using host::awaitable;
using host::redis::Client;
using kavara::test::failure_of;
using kavara::test::local_redis;
using kavara::test::run;
using kavara::test::ScratchRedis;
using kavara::test::seconds_since;
using Clock = std::chrono::steady_clock;

std::int64_t connection_id(Client& client) {
    return run(client.command({"CLIENT", "ID"})).integer;
}

awaitable<void> sleep_for(double seconds) {
    asio::steady_timer timer(co_await asio::this_coro::executor,
                             host::seconds_to_duration(seconds));
    co_await timer.async_wait(asio::use_awaitable);
}

// Waits until the server no longer lists connection `id`, calling `pause` between looks; fails
// the test after a few seconds.
void wait_until_dropped(const ScratchRedis& redis, std::int64_t id,
                        const std::function<void()>& pause) {
    const std::string listed = "id=" + std::to_string(id) + " ";
    const auto start = Clock::now();
    while (redis.cli("CLIENT LIST").find(listed) != std::string::npos) {
        ASSERT_LT(seconds_since(start), 5.0) << "the server kept the idle connection";
        pause();
    }
}

TEST(RedisReconnect, TheFirstCommandAfterAServerRestartSucceeds) {
    ScratchRedis redis;
    Client client(host::event_loop().get_executor(), local_redis(redis.port()));
    run(client.set("k", "before"));

    for (int restart = 0; restart < 2; ++restart) {
        redis.stop();
        redis.start();
        EXPECT_FALSE(run(client.get("k")).has_value());  // a fresh server without persistence
        run(client.set("k", "after"));
        EXPECT_EQ(run(client.get("k"))->str(), "after");
    }
}

TEST(RedisReconnect, TheReplacementSelectsTheDatabaseAgain) {
    ScratchRedis redis;
    auto options = local_redis(redis.port());
    options.db = 3;
    Client client(host::event_loop().get_executor(), options);
    run(client.set("k", "before"));

    redis.stop();
    redis.start();
    EXPECT_EQ(run(client.incr("n")), 1);
    EXPECT_EQ(redis.cli("-n 3 GET n"), "1");
    EXPECT_EQ(redis.cli("-n 0 EXISTS n"), "0");
}

TEST(RedisReconnect, AConnectionTheServerClosedForIdlenessIsReplaced) {
    ScratchRedis redis;
    ASSERT_EQ(redis.cli("CONFIG SET timeout 1"), "OK");

    // Section: the event loop stands still while the server drops the connection.
    Client still(host::event_loop().get_executor(), local_redis(redis.port()));
    auto id = connection_id(still);
    wait_until_dropped(redis, id,
                       [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    EXPECT_NE(connection_id(still), id);

    // Section: the event loop runs and sees the connection close while it waits.
    Client running(host::event_loop().get_executor(), local_redis(redis.port()));
    id = connection_id(running);
    wait_until_dropped(redis, id, [] { run(sleep_for(0.2)); });
    EXPECT_NE(connection_id(running), id);
}

TEST(RedisReconnect, AServerThatIsDownStaysAnErrorWithinTheTimeOuts) {
    // Section: a stopped server refuses the replacement, every time, at once.
    {
        ScratchRedis redis;
        Client client(host::event_loop().get_executor(), local_redis(redis.port()));
        run(client.set("k", "v"));
        redis.stop();
        const std::string refused =
            "Error connecting to 127.0.0.1:" + std::to_string(redis.port()) +
            ": Connection refused";
        const auto start = Clock::now();
        EXPECT_EQ(run(failure_of(client.get("k"))), refused);
        EXPECT_EQ(run(failure_of(client.get("k"))), refused);
        EXPECT_LT(seconds_since(start), 1.0);
    }

    // Section: a restarted server that does not answer yet fails the replacement's command after
    // the socket time-out, and only once.
    {
        ScratchRedis redis;
        Client client(host::event_loop().get_executor(), local_redis(redis.port(), 0.5));
        run(client.set("k", "v"));
        redis.stop();
        redis.start();
        redis.pause();
        const auto start = Clock::now();
        EXPECT_EQ(run(failure_of(client.get("k"))),
                  "Timeout reading from 127.0.0.1:" + std::to_string(redis.port()));
        const double waited = seconds_since(start);
        EXPECT_GE(waited, 0.45);
        EXPECT_LT(waited, 2.0);
        redis.resume();
        EXPECT_FALSE(run(client.get("k")).has_value());
    }
}

}  // namespace
