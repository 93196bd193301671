// Typed path and query parameters: conversion, defaults and the 422 answer that names the
// parameter.
#include "host/router.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

namespace {

using host::http::Call;
using host::http::Param;
using host::http::ParamIn;
using host::http::ParamType;
using host::http::parse_boolean;
using host::http::parse_integer;
using host::http::parse_real;

TEST(Conversion, IntegersRejectJunkAndValuesBeyond64Bits) {
    EXPECT_EQ(parse_integer("42"), 42);
    EXPECT_EQ(parse_integer("-7"), -7);
    EXPECT_EQ(parse_integer("+7"), 7);
    EXPECT_EQ(parse_integer("9223372036854775807"), INT64_MAX);
    EXPECT_FALSE(parse_integer("9223372036854775808"));
    EXPECT_FALSE(parse_integer("12abc"));
    EXPECT_FALSE(parse_integer("1.5"));
    EXPECT_FALSE(parse_integer(""));
    EXPECT_FALSE(parse_integer(" 1"));
    EXPECT_FALSE(parse_integer("+"));
}

TEST(Conversion, RealsAreFiniteNumbers) {
    EXPECT_EQ(parse_real("7.25"), 7.25);
    EXPECT_EQ(parse_real("-1e3"), -1000.0);
    EXPECT_EQ(parse_real("5"), 5.0);
    EXPECT_FALSE(parse_real("nan"));
    EXPECT_FALSE(parse_real("inf"));
    EXPECT_FALSE(parse_real("1e999"));
    EXPECT_FALSE(parse_real("1.0x"));
}

TEST(Conversion, BooleansInEveryCommonSpelling) {
    for (auto yes : {"true", "TRUE", "True", "1", "yes", "Yes", "on", "ON"})
        EXPECT_EQ(parse_boolean(yes), true) << yes;
    for (auto no : {"false", "False", "0", "no", "NO", "off", "Off"})
        EXPECT_EQ(parse_boolean(no), false) << no;
    for (auto bad : {"", "2", "maybe", "truee", "t"})
        EXPECT_FALSE(parse_boolean(bad)) << bad;
}

host::http::App bbox_app() {
    host::http::App app;
    app.add(
        {.method = "GET",
         .path = "/bbox/{z}",
         .name = "bbox",
         .params = {Param{.name = "z", .in = ParamIn::path, .type = ParamType::integer},
                    Param{.name = "minx", .type = ParamType::real},
                    Param{.name = "srid",
                          .type = ParamType::integer,
                          .default_value = std::int64_t{4326}},
                    Param{.name = "simplify", .type = ParamType::boolean, .default_value = true},
                    Param{.name = "limit",
                          .type = ParamType::integer,
                          .default_value = std::int64_t{5000},
                          .minimum = 0}},
         .handler = [](Call& call) -> host::awaitable<host::http::Response> {
             nlohmann::ordered_json body{{"z", call.integer("z")},
                                         {"minx", call.real("minx")},
                                         {"srid", call.integer("srid")},
                                         {"simplify", call.boolean("simplify")},
                                         {"limit", call.integer("limit")}};
             co_return host::http::json_response(body);
         }});
    return app;
}

host::http::Response call(const host::http::App& app, std::string path, std::string query) {
    host::http::Request request;
    request.method = "GET";
    request.path = std::move(path);
    request.query = std::move(query);
    return kavara::test::run(app.handle(request));
}

TEST(QueryParameters, DefaultsApplyAndValuesConvert) {
    auto app = bbox_app();
    auto r = call(app, "/bbox/3", "minx=7.5");
    ASSERT_EQ(r.status, 200u);
    EXPECT_EQ(nlohmann::json::parse(r.body.view()),
              nlohmann::json(
                  {{"z", 3}, {"minx", 7.5}, {"srid", 4326}, {"simplify", true}, {"limit", 5000}}));
    auto s = call(app, "/bbox/3", "minx=-1&srid=3857&simplify=off&limit=0");
    EXPECT_EQ(nlohmann::json::parse(s.body.view())["srid"], 3857);
    EXPECT_EQ(nlohmann::json::parse(s.body.view())["simplify"], false);
    EXPECT_EQ(nlohmann::json::parse(s.body.view())["limit"], 0);
}

TEST(QueryParameters, BadOrMissingValuesAre422NamingTheParameter) {
    auto app = bbox_app();
    auto missing = call(app, "/bbox/3", "");
    ASSERT_EQ(missing.status, 422u);
    auto detail = nlohmann::json::parse(missing.body.view())["detail"];
    ASSERT_EQ(detail.size(), 1u);
    EXPECT_EQ(detail[0]["loc"], nlohmann::json({"query", "minx"}));
    EXPECT_EQ(detail[0]["type"], "missing");

    auto bad = call(app, "/bbox/3", "minx=1&srid=abc&simplify=maybe&limit=-1");
    ASSERT_EQ(bad.status, 422u);
    auto errors = nlohmann::json::parse(bad.body.view())["detail"];
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0]["loc"][1], "srid");
    EXPECT_EQ(errors[0]["input"], "abc");
    EXPECT_EQ(errors[1]["loc"][1], "simplify");
    EXPECT_EQ(errors[2]["loc"][1], "limit");
    EXPECT_EQ(errors[2]["msg"], "Input should be greater than or equal to 0");
    EXPECT_EQ(errors[2]["input"], "-1");

    auto path = call(app, "/bbox/99999999999999999999", "minx=1");
    ASSERT_EQ(path.status, 422u);
    EXPECT_EQ(nlohmann::json::parse(path.body.view())["detail"][0]["loc"],
              nlohmann::json({"path", "z"}));
}

TEST(QueryParameters, PercentEscapesAndPlusAreDecoded) {
    host::http::App app;
    app.add({.method = "GET",
             .path = "/echo",
             .name = "echo",
             .params = {Param{.name = "q"}},
             .handler = [](Call& c) -> host::awaitable<host::http::Response> {
                 co_return host::http::json_response({{"q", c.text("q")}});
             }});
    auto r = call(app, "/echo", "q=a+b%26c&q=last");
    EXPECT_EQ(nlohmann::json::parse(r.body.view())["q"], "last");
    auto s = call(app, "/echo", "q=a+b%26c");
    EXPECT_EQ(nlohmann::json::parse(s.body.view())["q"], "a b&c");
    EXPECT_EQ(call(app, "/echo", "q=%zz").status, 400u);
}

}  // namespace
