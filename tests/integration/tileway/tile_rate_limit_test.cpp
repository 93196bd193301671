// The per-client limiter of the z/x/y tile route on the shared Redis: 40 requests in a window
// that starts with the client's first request, the window's expiry, the "unknown" client and a
// counter that lost its expiry; both ways a counter gets its expiry.
#include "harness.hpp"

#include "host/runtime.hpp"
#include "tileway/request_counter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace kavara::test::tileway {
namespace {

using namespace std::chrono_literals;

// Counted like any request, answered without the database or the cache.
constexpr const char* kCountedTarget = "/gis/roads/14/0/0.pbf";
constexpr const char* kTooMany = "Too many map requests. Please slow down panning.";

class TileRateLimit : public ::testing::Test {
  protected:
    void SetUp() override { load_app(shared_servers()); }

    static std::string key_of(const std::string& client) { return "rate_limit:gis:" + client; }

    RedisInspector redis_{shared_servers().redis_port};
};

TEST_F(TileRateLimit, TheFortyFirstRequestOfAWindowIsRefusedAndTheNextWindowStartsAfresh) {
    const auto client = fresh_client();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 40; ++i)
        ASSERT_EQ(get(kCountedTarget, client).status, 404) << i;
    auto refused = get(kCountedTarget, client);
    ASSERT_LT(seconds_since(start), 0.9) << "the 41 requests did not fit in one window";
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(detail(refused), kTooMany);
    EXPECT_EQ(redis_.get(key_of(client)), "41");

    ASSERT_TRUE(eventually([&] { return !redis_.exists(key_of(client)); }, 2s));
    EXPECT_EQ(get(kCountedTarget, client).status, 404);
    EXPECT_EQ(redis_.get(key_of(client)), "1");
    const auto pttl = redis_.pttl(key_of(client));
    EXPECT_GT(pttl, 0);
    EXPECT_LE(pttl, 1000);
}

TEST_F(TileRateLimit, ConcurrentRequestsOfOneClientAreCountedExactly) {
    const auto client = fresh_client();
    const std::vector<std::string> targets(60, kCountedTarget);
    const auto start = std::chrono::steady_clock::now();
    const auto answers = get_concurrently(targets, client);
    ASSERT_LT(seconds_since(start), 0.9) << "the 60 requests did not fit in one window";
    const auto refused = std::count_if(answers.begin(), answers.end(),
                                       [](const auto& answer) { return answer.status == 429u; });
    EXPECT_EQ(refused, 20);
    EXPECT_EQ(redis_.get(key_of(client)), "60");
    EXPECT_GT(redis_.pttl(key_of(client)), 0);
}

TEST_F(TileRateLimit, OneClientsWindowDoesNotRefuseAnother) {
    const auto busy = fresh_client();
    for (int i = 1; i <= 41; ++i)
        get(kCountedTarget, busy);
    const auto other = fresh_client();
    EXPECT_EQ(get(kCountedTarget, other).status, 404);
    EXPECT_EQ(redis_.get(key_of(other)), "1");
}

TEST_F(TileRateLimit, LaterRequestsNeitherExtendNorRestartTheWindow) {
    const auto client = fresh_client();
    get(kCountedTarget, client);
    std::this_thread::sleep_for(400ms);
    get(kCountedTarget, client);
    EXPECT_EQ(redis_.get(key_of(client)), "2");
    const auto pttl = redis_.pttl(key_of(client));
    EXPECT_GT(pttl, 0);
    EXPECT_LE(pttl, 620) << "the second request extended the window";
}

TEST_F(TileRateLimit, ARequestWithoutClientIsCountedAsUnknown) {
    const std::string key = key_of("unknown");
    redis_.del(key);
    EXPECT_EQ(get(kCountedTarget, std::nullopt).status, 404);
    EXPECT_EQ(redis_.get(key), "1");
    EXPECT_GT(redis_.pttl(key), 0);
}

TEST_F(TileRateLimit, RejectedAndInvalidRequestsCount) {
    const auto client = fresh_client();
    get("/gis/plots/21/0/0.pbf", client);  // 400
    get("/gis/plots/5/0/0.pbf", client);   // 204, below the layer's minimum zoom
    get(kCountedTarget, client);           // 404
    EXPECT_EQ(redis_.get(key_of(client)), "3");
}

// A counter left without expiry (its EXPIRE lost between two commands) used to refuse its
// client for good; the next request must give it its one-second expiry.
TEST_F(TileRateLimit, ACounterWithoutExpiryGetsOneAndTheClientIsServedAgain) {
    const auto client = fresh_client();
    const auto key = key_of(client);
    redis_.set(key, "100");
    ASSERT_EQ(redis_.ttl(key), -1);

    auto refused = get(kCountedTarget, client);
    EXPECT_EQ(refused.status, 429);
    EXPECT_EQ(redis_.get(key), "101");
    const auto pttl = redis_.pttl(key);
    EXPECT_GT(pttl, 0) << "the counter still has no expiry";
    EXPECT_LE(pttl, 1000);

    ASSERT_TRUE(eventually([&] { return !redis_.exists(key); }, 2s));
    EXPECT_EQ(get(kCountedTarget, client).status, 404);
    EXPECT_EQ(redis_.get(key), "1");
}

// INCR fails on a value that is not a number; the check is skipped with its warning, and the
// expiry set in the same step lets the client's counting start again a second later.
TEST_F(TileRateLimit, ACounterRedisCannotIncrementFailsOpenWithAWarningAndHeals) {
    const auto client = fresh_client();
    const auto key = key_of(client);
    redis_.set(key, "not a number");
    host::logging::Capture log;
    EXPECT_EQ(get(kCountedTarget, client).status, 404);
    const auto warnings = tileway_lines(log, spdlog::level::warn);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("Rate limit check failed: ", 0), 0u) << warnings[0];
    EXPECT_GT(redis_.pttl(key), 0);

    ASSERT_TRUE(eventually([&] { return !redis_.exists(key); }, 2s));
    EXPECT_EQ(get(kCountedTarget, client).status, 404);
    EXPECT_EQ(redis_.get(key), "1");
}

// The form for servers before 7 is forced here, since this server is a 7. Each counts in a
// window that later counts do not extend and that starts afresh after it expired; detection
// picks EXPIRE ... NX, which alone mends a counter another writer left without expiry.
TEST_F(TileRateLimit, EveryExpiryFormCountsInOneSecondWindows) {
    using ::tileway::CounterExpiry;
    const struct {
        CounterExpiry form;
        const char* name;
        bool mends_a_counter_without_expiry;
    } cases[] = {{CounterExpiry::detect, "detect", true},
                 {CounterExpiry::expire_nx, "expire_nx", true},
                 {CounterExpiry::set_nx, "set_nx", false}};
    host::redis::Options options;
    options.host = "127.0.0.1";
    options.port = shared_servers().redis_port;
    host::redis::Client client(host::event_loop().get_executor(), options);
    for (const auto& c : cases) {
        ::tileway::RequestCounter counter(client, c.form);
        const auto key = key_of(fresh_client());
        EXPECT_EQ(run(counter.count(key)), 1) << c.name;
        EXPECT_GT(redis_.pttl(key), 0) << c.name;
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(run(counter.count(key)), 2) << c.name;
        const auto pttl = redis_.pttl(key);
        EXPECT_GT(pttl, 0) << c.name;
        EXPECT_LE(pttl, 720) << c.name << ": the second count extended the window";
        ASSERT_TRUE(eventually([&] { return !redis_.exists(key); }, 2s)) << c.name;
        EXPECT_EQ(run(counter.count(key)), 1) << c.name;
        EXPECT_GT(redis_.pttl(key), 0) << c.name;

        const auto lasting = key_of(fresh_client());
        redis_.set(lasting, "7");
        EXPECT_EQ(run(counter.count(lasting)), 8) << c.name;
        EXPECT_EQ(redis_.pttl(lasting) > 0, c.mends_a_counter_without_expiry) << c.name;
        redis_.del(lasting);
    }
}

}  // namespace
}  // namespace kavara::test::tileway
