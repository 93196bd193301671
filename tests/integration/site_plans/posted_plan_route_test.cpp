// POST /plots/site-plan: answers, the mapping of bad input to 4xx, a call without a request,
// and the drawing kept off the event loop.
#include "site_plan_harness.hpp"
#include "site_plans/routes.hpp"
#include "support.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

namespace {

using kavara::test::run;
using kavara::test::site_plans::app;

std::string plan_input(const char* name) {
    std::ifstream in(kavara::test::source_dir() / "tests/data/plans" / name);
    return {std::istreambuf_iterator<char>(in), {}};
}

host::http::Response post(std::string body) {
    host::http::Request request;
    request.method = "POST";
    request.path = "/plots/site-plan";
    request.body = std::move(body);
    request.client_host = "127.0.0.1";
    return run(app().handle(request));
}

nlohmann::json json(const host::http::Response& r) {
    return nlohmann::json::parse(r.body.view());
}

TEST(SitePlanRoute, AnswersTheEnvelopeWithThePlan) {
    auto response = post(plan_input("small_residential.json"));
    ASSERT_EQ(response.status, 200u) << response.body.view();
    auto body = json(response);
    EXPECT_EQ(body["success"], true);
    const auto& data = body["data"];
    EXPECT_TRUE(data["image64"].get<std::string>().starts_with("iVBORw0KGgo"));  // PNG signature
    EXPECT_EQ(data["paper_size"], nlohmann::json::array({190, 160}));
    EXPECT_GT(data["scale"].get<int>(), 0);
    EXPECT_TRUE(data["schedule"].is_array());
    std::vector<std::string> keys;
    for (auto& [k, v] : body["data"].items())
        keys.push_back(k);
    EXPECT_EQ(keys, (std::vector<std::string>{"image64", "paper_size", "scale", "schedule"}));
}

TEST(SitePlanRoute, BadInputIsNever500) {
    struct Case {
        std::string body;
        unsigned status;
        std::string detail_part;
    };
    const std::vector<Case> cases{
        {R"({"parcel_data":[],"selected_parcel_number":5,"road_data":null})", 404,
         "Parcel with parcel_number=5 not found."},
        {R"({"parcel_data":[{"parcel_number":5}],"selected_parcel_number":5,"road_data":null})",
         422, "geometry"},
        {R"({"parcel_data":[{"parcel_number":5,"name":"A","geometry":{"type":"Polygon","coordinates":[[[0,0],[1,0]]]}}],"selected_parcel_number":5,"road_data":null})",
         422, ""},
        {"not json", 422, "not valid JSON"},
        {"[1,2]", 422, "JSON object"},
        {R"({"parcel_data":[],"selected_parcel_number":5})", 422, "road_data"},
        {R"({"parcel_data":{},"selected_parcel_number":5,"road_data":null})", 422, "parcel_data"},
        {R"({"parcel_data":[],"selected_parcel_number":5,"road_data":null,"max_width_mm":0})", 422,
         "max_width_mm"},
        {R"({"parcel_data":[],"selected_parcel_number":5,"road_data":null,"max_height_mm":5000})",
         422, "A0"},
        {R"({"parcel_data":[],"selected_parcel_number":5,"road_data":null,"columnname":7})", 422,
         "columnname"},
    };
    for (const auto& c : cases) {
        auto response = post(c.body);
        EXPECT_EQ(response.status, c.status) << c.body << " -> " << response.body.view();
        EXPECT_NE(json(response)["detail"].get<std::string>().find(c.detail_part),
                  std::string::npos)
            << response.body.view();
    }
}

TEST(SitePlanRoute, ARequestWithoutABodyIsUnprocessable) {
    const auto router = site_plans::router();
    const auto& routes = router.routes();
    auto post = std::find_if(routes.begin(), routes.end(),
                             [](const host::http::Route& r) { return r.method == "POST"; });
    ASSERT_NE(post, routes.end());
    const host::http::Request empty;
    host::http::Call call(empty, {}, nullptr);
    try {
        run(post->handler(call));
        ADD_FAILURE() << "a plan without a body";
    } catch (const host::http::HTTPException& e) {
        EXPECT_EQ(e.status(), 422u);
        EXPECT_EQ(e.detail(), "The body is not valid JSON");
    }
}

TEST(SitePlanRoute, DrawingDoesNotHoldUpTheEventLoop) {
    // While a large plan is drawn, a timer on the loop keeps firing on time.
    auto body = plan_input("large_irregular.json");
    int ticks = 0;
    bool answered = false;
    // It stops with the answer, so that it never outlives this test's frame.
    auto ticker = [&]() -> host::awaitable<void> {
        while (!answered) {
            boost::asio::steady_timer t(co_await boost::asio::this_coro::executor,
                                        std::chrono::milliseconds(5));
            co_await t.async_wait(boost::asio::use_awaitable);
            ++ticks;
        }
    };
    auto answer = [&]() -> host::awaitable<unsigned> {
        host::http::Request request;
        request.method = "POST";
        request.path = "/plots/site-plan";
        request.body = body;
        auto response = co_await app().handle(request);
        answered = true;
        co_return response.status;
    };
    auto both = [&]() -> host::awaitable<unsigned> {
        using namespace boost::asio::experimental::awaitable_operators;
        co_return co_await (ticker() && answer());
    };
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run(both()), 200u);
    double elapsed = kavara::test::seconds_since(started);
    // A blocked loop would deliver no ticks until the plan is done.
    EXPECT_GT(ticks, static_cast<int>(elapsed / 0.005 / 4));
}

}  // namespace
