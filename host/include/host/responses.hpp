#pragma once

#include "host/http.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace host {

struct ApiResponseArgs {
    nlohmann::ordered_json data = nullptr;
    std::optional<std::string> message = std::nullopt;
    unsigned status_code = 200;
};

// {"success": status_code < 400, "status_code": N, "message": text or null, "data": payload or
// null}
nlohmann::ordered_json api_response(ApiResponseArgs args = {});

// The JSON answer of an api_response payload, with HTTP status "status_code".
http::Response api_router_response(const nlohmann::ordered_json& payload);

}  // namespace host
