// The plan routes' own rate limit, counted in the test Redis, and its failing open.
#include "site_plan_harness.hpp"
#include "support.hpp"

#include "site_plans/routes.hpp"

#include "host/redis.hpp"
#include "host/router.hpp"
#include "host/runtime.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace kavara::test::site_plans {
namespace {

// The routes with a limit of 2 plans a second, counting in the Redis at `port`.
std::unique_ptr<host::http::App> limited_routes(std::uint16_t port) {
    auto redis = std::make_shared<host::redis::Client>(
        host::event_loop().get_executor(),
        host::redis::Options{.port = port, .connect_timeout = 0.5, .socket_timeout = 0.5});
    auto app = std::make_unique<host::http::App>();
    app->mount(::site_plans::router({.redis = std::move(redis), .plans_per_second = 2}));
    return app;
}

// A POST whose body is not a plan: counted, then refused as 422 without drawing anything.
host::http::Request bad_plan_from(std::string client) {
    host::http::Request request = get_request("/plots/site-plan");
    request.method = "POST";
    request.body = "{}";
    request.client_host = std::move(client);
    return request;
}

std::vector<unsigned> statuses(const host::http::App& app,
                               const std::vector<std::string>& clients) {
    std::vector<unsigned> got;
    for (const auto& client : clients)
        got.push_back(run(app.handle(bad_plan_from(client))).status);
    return got;
}

TEST(PlanRateLimit, RefusesTheThirdPlanOfAClientInOneSecond) {
    auto app = limited_routes(redis_port());
    // A client of its own per run, so an earlier run's window does not count.
    const std::string a = "192.0.2." + std::to_string(::getpid() % 200);
    const std::string b = a + "-other";
    EXPECT_EQ(statuses(*app, {a, a, b, a}), (std::vector<unsigned>{422, 422, 422, 429}));
    auto refused = run(app->handle(bad_plan_from(a)));
    EXPECT_EQ(detail(refused), "Too many plan requests.");
}

TEST(PlanRateLimit, LetsPlansThroughWhenRedisIsDown) {
    auto app = limited_routes(free_port());
    EXPECT_EQ(statuses(*app, {"198.51.100.1", "198.51.100.1", "198.51.100.1"}),
              (std::vector<unsigned>{422, 422, 422}));
}

}  // namespace
}  // namespace kavara::test::site_plans
