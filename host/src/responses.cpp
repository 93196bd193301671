#include "host/responses.hpp"

namespace host {

nlohmann::ordered_json api_response(ApiResponseArgs args) {
    nlohmann::ordered_json payload;
    payload["success"] = args.status_code < 400;
    payload["status_code"] = args.status_code;
    payload["message"] = args.message ? nlohmann::ordered_json(*args.message) : nullptr;
    payload["data"] = std::move(args.data);
    return payload;
}

http::Response api_router_response(const nlohmann::ordered_json& payload) {
    unsigned status = 200;
    if (auto it = payload.find("status_code"); it != payload.end() && it->is_number_unsigned()) {
        status = it->get<unsigned>();
    }
    return http::json_response(payload, status);
}

}  // namespace host
