// kavara-server as a process, answering what clients get wrong: a body nested 100,000 levels
// deep, plot IDs no "ID" column can hold, paper too small to print, positions off the Earth and a
// refused admin token each get their 4xx with its reason phrase, and the server serves on.
#include "server_process.hpp"
#include "support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace kavara::test {
namespace {

constexpr const char* admin_token = "client-errors-test-token";

// One server for the whole program, with a Redis of its own for the plan rate limit.
const ServerProcess& server() {
    static const auto redis = std::make_unique<ScratchRedis>();
    static const auto instance = [] {
        auto process = std::make_unique<ServerProcess>(fmt::format(
            "REDIS_HOST=127.0.0.1 REDIS_PORT={} DATABASE_URL='{}' KAVARA_WATCH_CHANGES=0 "
            "KAVARA_PLAN_RATE=10000 KAVARA_ADMIN_TOKEN={}",
            redis->port(), database_url(), admin_token));
        EXPECT_TRUE(process->wait_healthy()) << process->errors();
        return process;
    }();
    return *instance;
}

struct Asked {
    std::string method;
    std::string path;
    std::string body;     // sent as JSON when not empty
    std::string headers;  // further curl options
};

struct Answer {
    std::string status_line;  // "HTTP/1.1 422 Unprocessable Entity"
    std::string detail;
};

// Bodies go through a file: the deep ones are longer than a command line may be. "Expect:" keeps
// curl from waiting for a 100 Continue before it sends a long body.
Answer ask(const Asked& asked) {
    const auto base = fmt::format("/tmp/kavara-client-errors-{}", ::getpid());
    std::string send;
    if (!asked.body.empty()) {
        std::ofstream(base + ".request", std::ios::binary) << asked.body;
        send = fmt::format(
            "--data-binary @{}.request -H 'Content-Type: application/json' -H 'Expect:'", base);
    }
    shell(fmt::format("curl -s --max-time 60 -X {} {} {} -D {}.headers -o {}.body '{}'",
                      asked.method, send, asked.headers, base, base, server().url(asked.path)));
    const std::string headers = read_file(base + ".headers");
    const auto body = nlohmann::json::parse(read_file(base + ".body"), nullptr, false);
    for (const char* suffix : {".request", ".headers", ".body"})
        std::remove((base + suffix).c_str());
    return {headers.substr(0, headers.find("\r\n")),
            body.is_object() && body.contains("detail") ? body["detail"].dump() : ""};
}

std::string nested(std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
}

std::string plan_body(const std::string& parcel_data, const std::string& more = "") {
    return R"({"parcel_data":)" + parcel_data + R"(,"selected_parcel_number":1,"road_data":null)" +
           more + "}";
}

// A 30 m plot in the seeded area, with a vertex where `x` says.
std::string plot_reaching(const std::string& x) {
    return fmt::format(
        R"([{{"parcel_number":1,"name":"A","geometry":{{"type":"Polygon","coordinates":)"
        R"([[[823655.677,1011602.76],[{},1011633.192],[823671.616,1011636.324],)"
        R"([823655.677,1011602.76]]]}}}}])",
        x);
}

Asked post_plan(const std::string& body) {
    return {"POST", "/plots/site-plan", body, ""};
}

Asked get(const std::string& path) {
    return {"GET", path, "", ""};
}

TEST(ClientErrors, ABodyNestedDeeperThanAnyPlanIsRefusedAndTheServerServesOn) {
    const std::string refused = "HTTP/1.1 422 Unprocessable Entity";
    for (const auto& body : {plan_body("[" + nested(100000) + "]"),
                             plan_body("[]", R"(,"bounding_box":)" + nested(100000))}) {
        Answer answer = ask(post_plan(body));
        EXPECT_EQ(answer.status_line, refused) << answer.detail;
        EXPECT_EQ(answer.detail, "\"The body nests arrays and objects deeper than 64 levels\"");
    }
    Answer plan = ask(post_plan(plan_body(plot_reaching("823651.093"))));
    EXPECT_EQ(plan.status_line, "HTTP/1.1 200 OK") << plan.detail << server().errors();
}

TEST(ClientErrors, AreAnsweredWithTheir4xxAndReasonPhrase) {
    struct Case {
        Asked asked;
        std::string status_line;
        std::string detail_part;
    };
    const std::string unprocessable = "HTTP/1.1 422 Unprocessable Entity";
    const std::string paper = "must be at least 10 mm";
    const std::vector<Case> cases{
        {get("/plots/site-plan/2147483648"), "HTTP/1.1 404 Not Found",
         "No plot with ID 2147483648"},
        {get("/plots/site-plan/-2147483649.png"), "HTTP/1.1 404 Not Found", "No plot with ID"},
        {get("/plots/site-plan/1?max_height_mm=9.99"), unprocessable, paper},
        {get("/plots/site-plan/1.png?max_width_mm=0.0001&max_height_mm=0.0001"), unprocessable,
         paper},
        {get("/plots/site-plan/1.pdf?max_width_mm=1e-300"), unprocessable, paper},
        {post_plan(plan_body(plot_reaching("823651.093"), R"(,"max_width_mm":0.0001)")),
         unprocessable, paper},
        {post_plan(plan_body(plot_reaching("1e308"))), unprocessable, "lies outside EPSG:3857"},
        {post_plan(plan_body(plot_reaching("-20037509"))), unprocessable, "lies outside"},
        {{"POST", "/gis/cache/invalidate/plots", "", ""},
         "HTTP/1.1 401 Unauthorized",
         "Admin token required"},
        {{"POST", "/gis/cache/invalidate/plots", "", "-H 'Authorization: Bearer wrong'"},
         "HTTP/1.1 403 Forbidden",
         "Invalid admin token"},
    };
    for (const auto& c : cases) {
        Answer answer = ask(c.asked);
        EXPECT_EQ(answer.status_line, c.status_line) << c.asked.path << ": " << answer.detail;
        EXPECT_NE(answer.detail.find(c.detail_part), std::string::npos)
            << c.asked.path << ": " << answer.detail;
    }
}

}  // namespace
}  // namespace kavara::test
