#include "endpoints.hpp"
#include "failures.hpp"
#include "tileway/catalogue.hpp"

namespace tileway {

host::awaitable<host::http::Response> health_check(const Service& service) {
    std::string cache_status = "healthy";
    try {
        // The value is ignored: a miss is as good as a hit, only the answer counts.
        co_await host::wait_for(service.cache().get("health_check"), 2.0);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        cache_status = "unhealthy";
    }
    nlohmann::ordered_json body;
    body["status"] = "healthy";
    body["cache_status"] = cache_status;
    body["available_layers"] = LAYER_CONFIG.keys();
    body["zoom_support"] = "1-20 with layer-specific minimums";
    co_return host::http::json_response(body);
}

}  // namespace tileway
