// Route matching: literal routes beat parameterised ones, 404 and 405 stay apart, path values
// with literal suffixes, failures of handlers mapped to answers, and the labels requests are
// counted under.
#include "host/router.hpp"
#include "host/metrics.hpp"
#include "support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace {

using host::http::App;
using host::http::Call;
using host::http::Param;
using host::http::ParamIn;
using host::http::ParamType;
using host::http::Request;
using host::http::Response;
using kavara::test::run;

// A handler that answers with the name of the route and its path values.
host::http::Handler echo(std::string name, std::vector<std::string> params) {
    return [name, params](Call& call) -> host::awaitable<Response> {
        nlohmann::ordered_json body;
        body["route"] = name;
        for (const auto& p : params)
            body[p] = call.text(p);
        co_return host::http::json_response(body);
    };
}

Param text(const char* name) {
    return Param{.name = name, .in = ParamIn::path};
}

App make_app() {
    App app;
    host::http::Router router("/gis");
    router.add({.method = "GET",
                .path = "/{layer_name}/{z}/{x}/{y}.pbf",
                .name = "tile",
                .params = {text("layer_name"), text("z"), text("x"), text("y")},
                .handler = echo("tile", {"layer_name", "z", "x", "y"})});
    router.add({.method = "GET",
                .path = "/{layer_name}/zoom-info/",
                .name = "zoom",
                .params = {text("layer_name")},
                .handler = echo("zoom", {"layer_name"})});
    router.add({.method = "GET",
                .path = "/{layer_name}/",
                .name = "centroid",
                .params = {text("layer_name")},
                .handler = echo("centroid", {"layer_name"})});
    router.add(
        {.method = "GET", .path = "/layers/", .name = "layers", .handler = echo("layers", {})});
    router.add({.method = "POST",
                .path = "/cache/invalidate/{layer_name}",
                .name = "invalidate",
                .params = {text("layer_name")},
                .handler = echo("invalidate", {"layer_name"})});
    router.add(
        {.method = "GET", .path = "/health/", .name = "health", .handler = echo("health", {})});
    app.mount(router);
    return app;
}

Response get(const App& app, std::string method, std::string target) {
    Request request;
    request.method = std::move(method);
    request.target = target;
    auto q = target.find('?');
    request.path = target.substr(0, q);
    if (q != std::string::npos)
        request.query = target.substr(q + 1);
    return run(app.handle(request));
}

nlohmann::json body(const Response& r) {
    return nlohmann::json::parse(r.body.view());
}

TEST(Routing, LiteralRoutesWinOverParameterisedOnes) {
    auto app = make_app();
    EXPECT_EQ(body(get(app, "GET", "/gis/layers/"))["route"], "layers");
    EXPECT_EQ(body(get(app, "GET", "/gis/health/"))["route"], "health");
    auto centroid = body(get(app, "GET", "/gis/plots/"));
    EXPECT_EQ(centroid["route"], "centroid");
    EXPECT_EQ(centroid["layer_name"], "plots");
}

TEST(Routing, ParameterWithLiteralSuffix) {
    auto app = make_app();
    auto tile = body(get(app, "GET", "/gis/plots/14/8801/7940.pbf"));
    EXPECT_EQ(tile["route"], "tile");
    EXPECT_EQ(tile["y"], "7940");
    // The suffix alone is not a value, and another suffix does not match.
    EXPECT_EQ(get(app, "GET", "/gis/plots/14/8801/.pbf").status, 404u);
    EXPECT_EQ(get(app, "GET", "/gis/plots/14/8801/7940.png").status, 404u);
}

TEST(Routing, PathValuesArePercentDecodedPerSegment) {
    auto app = make_app();
    auto r = body(get(app, "GET", "/gis/my%20layer/zoom-info/"));
    EXPECT_EQ(r["layer_name"], "my layer");
    // An encoded slash stays inside its segment instead of splitting the path.
    auto s = body(get(app, "GET", "/gis/a%2Fb/"));
    EXPECT_EQ(s["layer_name"], "a/b");
}

TEST(Routing, WrongMethodIs405AndUnknownPathIs404) {
    auto app = make_app();
    auto wrong = get(app, "GET", "/gis/cache/invalidate/plots");
    EXPECT_EQ(wrong.status, 405u);
    EXPECT_EQ(wrong.header("Allow"), "POST");
    EXPECT_EQ(get(app, "POST", "/gis/cache/invalidate/plots").status, 200u);
    EXPECT_EQ(get(app, "GET", "/nowhere").status, 404u);
    EXPECT_EQ(get(app, "GET", "/gis/health").status, 404u);  // no trailing slash
    EXPECT_EQ(body(get(app, "GET", "/nowhere"))["detail"], "Not Found");
}

TEST(Failures, HttpExceptionBecomesItsStatusWithDetail) {
    App app;
    app.add({.method = "GET",
             .path = "/fail",
             .name = "fail",
             .handler = [](Call&) -> host::awaitable<Response> {
                 throw host::http::HTTPException(418, "short and stout");
                 co_return Response{};
             }});
    app.add({.method = "GET",
             .path = "/crash",
             .name = "crash",
             .handler = [](Call&) -> host::awaitable<Response> {
                 throw std::runtime_error("secret internals");
                 co_return Response{};
             }});
    auto fail = get(app, "GET", "/fail");
    EXPECT_EQ(fail.status, 418u);
    EXPECT_EQ(body(fail), nlohmann::json({{"detail", "short and stout"}}));
    auto crash = get(app, "GET", "/crash");
    EXPECT_EQ(crash.status, 500u);
    // Internal error text never reaches the client.
    EXPECT_EQ(crash.body.view().find("secret"), std::string_view::npos);
}

TEST(RequestMetrics, ClientsCannotFillTheTableWithMadeUpMethodsOrPaths) {
    App app = make_app();
    app.add({.method = "GET", .path = "/after", .name = "after", .handler = echo("after", {})});
    for (int i = 0; i < 3000; ++i) {
        const std::string made_up = fmt::format("M{:06}", i);
        get(app, made_up, "/x" + made_up);
        get(app, "GET", "/gis/" + made_up + "/zoom-info/");
    }
    get(app, "GET", "/after");
    const std::string exposition = host::metrics::exposition();
    for (const char* series : {R"(requests_total{route="/after",method="GET",status="200"})",
                               R"x(route="(unmatched)",method="other",status="404")x"})
        EXPECT_NE(exposition.find(series), std::string::npos) << series;
    EXPECT_EQ(exposition.find("M000"), std::string::npos);
}

TEST(ApiDocument, ListsEveryRouteWithParameters) {
    App app;
    host::http::Router router("/gis");
    router.add({.method = "GET",
                .path = "/{layer_name}/bbox/",
                .name = "get_tile_bbox",
                .description = "Serve vector tiles for custom bounding box.",
                .params = {text("layer_name"),
                           Param{.name = "srid",
                                 .type = ParamType::integer,
                                 .default_value = std::int64_t{4326},
                                 .description = "SRID of input bbox"},
                           Param{.name = "minx", .type = ParamType::real}},
                .handler = echo("bbox", {})});
    app.mount(router);
    auto doc = app.openapi("test");
    auto op = doc["paths"]["/gis/{layer_name}/bbox/"]["get"];
    EXPECT_EQ(op["description"], "Serve vector tiles for custom bounding box.");
    ASSERT_EQ(op["parameters"].size(), 3u);
    EXPECT_EQ(op["parameters"][1]["schema"]["default"], 4326);
    EXPECT_EQ(op["parameters"][1]["required"], false);
    EXPECT_EQ(op["parameters"][2]["required"], true);
    EXPECT_EQ(op["parameters"][0]["in"], "path");
}

}  // namespace
