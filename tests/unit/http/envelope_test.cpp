// The JSON envelope and response helpers.
#include "host/responses.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Envelope, SuccessFollowsTheStatusCode) {
    auto ok = host::api_response({.data = {{"layer", "plots"}}, .message = "done"});
    EXPECT_EQ(ok.dump(),
              R"({"success":true,"status_code":200,"message":"done","data":{"layer":"plots"}})");
    auto missing = host::api_response({.message = "No valid geometry", .status_code = 404});
    EXPECT_EQ(missing.dump(),
              R"({"success":false,"status_code":404,"message":"No valid geometry","data":null})");
    EXPECT_EQ(host::api_response({.status_code = 399})["success"], true);
    EXPECT_EQ(host::api_response({.status_code = 400})["success"], false);
    EXPECT_EQ(host::api_response().dump(),
              R"({"success":true,"status_code":200,"message":null,"data":null})");
}

TEST(Envelope, RouterResponseAnswersWithTheEnvelopeStatus) {
    auto response = host::api_router_response(host::api_response({.status_code = 404}));
    EXPECT_EQ(response.status, 404u);
    EXPECT_EQ(response.media_type, "application/json");
    EXPECT_EQ(host::api_router_response(host::api_response()).status, 200u);
}

TEST(JsonResponse, KeepsKeyOrder) {
    nlohmann::ordered_json body;
    body["zeta"] = 1;
    body["alpha"] = 2;
    body["mid"] = {{"z", 1}, {"a", 2}};
    auto response = host::http::json_response(body);
    EXPECT_EQ(response.body.view(), R"({"zeta":1,"alpha":2,"mid":{"z":1,"a":2}})");
}

TEST(JsonResponse, InvalidUtf8IsReplacedNotFatal) {
    nlohmann::ordered_json body{{"name", std::string("bad \xff byte")}};
    auto response = host::http::json_response(body);
    EXPECT_EQ(response.status, 200u);
    EXPECT_NE(response.body.view().find("bad"), std::string_view::npos);
}

}  // namespace
