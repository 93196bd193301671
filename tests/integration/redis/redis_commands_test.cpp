// The client's commands against the shared Redis server. Every key of a run lives under a prefix
// of its own and is deleted afterwards.
#include "host/redis.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <boost/asio/experimental/parallel_group.hpp>

#include <unistd.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
using host::awaitable;
using host::redis::Client;
using host::redis::ReplyError;
using kavara::test::run;
using namespace std::string_literals;

host::redis::Options shared_server(std::int64_t db = 0) {
    host::redis::Options options;
    options.host = "127.0.0.1";
    options.port = kavara::test::redis_port();
    options.db = db;
    return options;
}

std::string every_byte() {
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        bytes.push_back(static_cast<char>(b));
    return bytes;
}

// Runs all `ops` at once on the loop and returns their results in the order of `ops`.
template <typename T>
awaitable<std::vector<T>> gather(std::vector<awaitable<T>> ops) {
    auto executor = co_await asio::this_coro::executor;
    std::vector<decltype(asio::co_spawn(executor, std::move(ops[0]), asio::deferred))> spawned;
    for (auto& op : ops)
        spawned.push_back(asio::co_spawn(executor, std::move(op), asio::deferred));
    auto [order, errors, values] =
        co_await asio::experimental::make_parallel_group(std::move(spawned))
            .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
    (void)order;
    for (auto& error : errors)
        if (error)
            std::rethrow_exception(error);
    co_return std::move(values);
}

awaitable<bool> store(Client& client, std::string key, std::string value) {
    co_await client.set(key, value);
    co_return true;
}

awaitable<void> delete_keys(Client& client, std::string pattern) {
    std::string cursor = "0";
    do {
        auto page = co_await client.scan(cursor, pattern, 100);
        for (const auto& key : page.keys)
            co_await client.del(key);
        cursor = page.cursor;
    } while (cursor != "0");
}

class RedisCommands : public ::testing::Test {
  protected:
    void TearDown() override {
        run(delete_keys(client, prefix + "*"));
        run(delete_keys(db1_client, prefix + "*"));
    }

    std::string key(std::string_view name) const { return prefix + std::string(name); }

    std::int64_t ttl_of(const std::string& k) {
        const std::vector<std::string_view> args{"TTL", k};
        return run(client.command(args)).integer;
    }

    std::int64_t connection_id() { return run(client.command({"CLIENT", "ID"})).integer; }

    const std::string prefix = "kavara-test:redis:" + std::to_string(::getpid()) + ":" +
                               ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                               ":";
    Client client{host::event_loop().get_executor(), shared_server()};
    Client db1_client{host::event_loop().get_executor(), shared_server(1)};
};

TEST_F(RedisCommands, BinaryValuesRoundTripAndAnEmptyValueIsNotAMiss) {
    // Section: every byte value, including NUL, CR, LF and 0xFF.
    const std::string binary = every_byte() + "\r\n\0tail"s;
    run(client.set(key("binary"), binary));
    auto stored = run(client.get(key("binary")));
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->str(), binary);

    // Section: an empty value is found, and empty.
    run(client.set(key("empty"), ""));
    auto empty = run(client.get(key("empty")));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());

    // Section: a missing key is a miss.
    EXPECT_FALSE(run(client.get(key("missing"))).has_value());
}

TEST_F(RedisCommands, AValueLargerThanOneReadArrivesWhole) {
    std::string large(3 * 1024 * 1024 + 17, '\0');
    std::mt19937 random(7);
    std::generate(large.begin(), large.end(), [&] { return static_cast<char>(random()); });
    run(client.set(key("large"), large));
    EXPECT_EQ(run(client.get(key("large")))->str(), large);
}

TEST_F(RedisCommands, SetSendsTheExpiryOnlyWhenGiven) {
    run(client.set(key("expiring"), "v", 100));
    auto ttl = ttl_of(key("expiring"));
    EXPECT_GT(ttl, 90);
    EXPECT_LE(ttl, 100);

    run(client.set(key("lasting"), "v"));
    EXPECT_EQ(ttl_of(key("lasting")), -1);
}

TEST_F(RedisCommands, CounterAndKeyCommandsReportWhatTheyDid) {
    EXPECT_EQ(run(client.incr(key("counter"))), 1);
    EXPECT_EQ(run(client.incr(key("counter"))), 2);
    EXPECT_TRUE(run(client.expire(key("counter"), 30)));
    EXPECT_FALSE(run(client.expire(key("nothing"), 30)));
    EXPECT_EQ(run(client.del(key("counter"))), 1);
    EXPECT_EQ(run(client.del(key("counter"))), 0);
}

TEST_F(RedisCommands, ScanWalksEveryMatchingKeyAcrossPages) {
    std::set<std::string> expected;
    for (int i = 0; i < 35; ++i) {
        expected.insert(key("scan:" + std::to_string(i)));
        run(client.set(key("scan:" + std::to_string(i)), "x"));
    }
    run(client.set(key("other"), "x"));

    std::set<std::string> seen;
    std::string cursor = "0";
    int pages = 0;
    do {
        auto page = run(client.scan(cursor, key("scan:*"), 10));
        seen.insert(page.keys.begin(), page.keys.end());
        cursor = page.cursor;
        ++pages;
    } while (cursor != "0" && pages < 100000);
    EXPECT_EQ(seen, expected);
}

TEST_F(RedisCommands, AnErrorReplyThrowsAndLeavesTheConnectionUp) {
    const auto id = connection_id();
    run(client.set(key("text"), "not a number"));
    try {
        run(client.incr(key("text")));
        FAIL() << "no ReplyError";
    } catch (const ReplyError& e) {
        EXPECT_NE(std::string(e.what()).find("not an integer"), std::string::npos) << e.what();
    }
    EXPECT_THROW(run(client.command({"NO-SUCH-COMMAND"})), ReplyError);
    EXPECT_EQ(run(client.get(key("text")))->str(), "not a number");
    EXPECT_EQ(connection_id(), id);
}

TEST_F(RedisCommands, ATransactionReturnsTheReplyOfEachCommand) {
    const std::string counter = key("window");
    const std::vector<std::vector<std::string_view>> commands{{"INCR", counter},
                                                              {"EXPIRE", counter, "60", "NX"}};
    auto first = run(client.transaction(commands));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].integer, 1);
    EXPECT_EQ(first[1].integer, 1);

    auto second = run(client.transaction(commands));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].integer, 2);
    EXPECT_EQ(second[1].integer, 0);  // NX: the first expiry stays
    EXPECT_GT(ttl_of(counter), 0);
}

TEST_F(RedisCommands, AFailingTransactionThrowsReplyErrorAndTheConnectionStaysInStep) {
    const auto id = connection_id();
    const std::string never = key("never");
    const std::string text = key("text");
    // Section: a command the server refuses while queueing aborts the whole transaction.
    const std::vector<std::vector<std::string_view>> refused{{"INCR", never}, {"NO-SUCH-COMMAND"}};
    EXPECT_THROW(run(client.transaction(refused)), ReplyError);
    EXPECT_FALSE(run(client.get(never)).has_value());

    // Section: a command that fails inside EXEC.
    run(client.set(text, "abc"));
    const std::vector<std::vector<std::string_view>> failing{{"INCR", text}};
    try {
        run(client.transaction(failing));
        FAIL() << "no ReplyError";
    } catch (const ReplyError& e) {
        EXPECT_NE(std::string(e.what()).find("not an integer"), std::string::npos) << e.what();
    }
    EXPECT_EQ(run(client.get(text))->str(), "abc");
    EXPECT_EQ(connection_id(), id);
}

TEST_F(RedisCommands, ATransactionAndACommandWrittenTogetherAreJudgedApart) {
    const std::string counter = key("window");
    const std::string text = key("text");
    const std::string list = key("list");
    run(client.set(text, "abc"));
    run(client.command({"RPUSH", list, "x"}));
    const auto id = connection_id();
    struct Case {
        const char* what;
        std::vector<std::vector<std::string_view>> transaction;
        std::vector<std::vector<std::string_view>> commands;
        bool transaction_fails, command_fails;
    };
    const Case cases[] = {
        {"both answer", {{"INCR", counter}}, {{"GET", text}}, false, false},
        {"the transaction fails inside EXEC", {{"INCR", text}}, {{"GET", text}}, true, false},
        {"the transaction is refused while queueing",
         {{"NO-SUCH-COMMAND"}},
         {{"GET", text}},
         true,
         false},
        {"the command fails", {{"INCR", counter}}, {{"GET", list}}, false, true},
    };
    for (const auto& c : cases) {
        auto outcome = run(client.transaction_and_commands(c.transaction, c.commands));
        ASSERT_EQ(outcome.commands.size(), 1u);
        EXPECT_EQ(outcome.transaction_error != nullptr, c.transaction_fails) << c.what;
        EXPECT_EQ(outcome.commands[0].error != nullptr, c.command_fails) << c.what;
        if (!c.transaction_fails) {
            EXPECT_EQ(outcome.transaction.at(0).type, host::redis::Reply::Type::integer) << c.what;
        }
        if (!c.command_fails) {
            EXPECT_EQ(outcome.commands[0].reply.str.view(), "abc") << c.what;
        }
    }
    EXPECT_EQ(run(client.get(counter))->str(), "2");
    EXPECT_EQ(connection_id(), id);
}

TEST_F(RedisCommands, ConcurrentCommandsFromManyCoroutinesGetTheirOwnReplies) {
    constexpr int kCount = 300;
    std::vector<std::string> keys;
    for (int i = 0; i < kCount; ++i)
        keys.push_back(key("concurrent:" + std::to_string(i)));

    std::vector<awaitable<bool>> writes;
    for (int i = 0; i < kCount; ++i)
        writes.push_back(store(client, keys[i], "value-" + std::to_string(i)));
    run(gather(std::move(writes)));

    std::vector<awaitable<std::optional<host::Bytes>>> reads;
    for (int i = 0; i < kCount; ++i)
        reads.push_back(client.get(keys[i]));
    auto values = run(gather(std::move(reads)));
    ASSERT_EQ(values.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        ASSERT_TRUE(values[i].has_value()) << i;
        EXPECT_EQ(values[i]->str(), "value-" + std::to_string(i));
    }
}

TEST_F(RedisCommands, TheSelectedDatabaseIsolatesKeys) {
    run(db1_client.set(key("where"), "one"));
    EXPECT_EQ(run(db1_client.get(key("where")))->str(), "one");
    EXPECT_FALSE(run(client.get(key("where"))).has_value());
}

}  // namespace
