#include "server_app.hpp"

#include "host/runtime.hpp"
#include "host/static_files.hpp"
#include "site_plan_routes.hpp"
#include "tileway/routes.hpp"
#include "tileway/service.hpp"

#include <plots/setup.hpp>

#include <charconv>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace kavara::server {

namespace {

std::int64_t whole_number(const char* name, const char* fallback, std::int64_t low,
                          std::int64_t high) {
    const char* value = std::getenv(name);
    std::string text = value ? value : fallback;
    std::int64_t number = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        throw std::invalid_argument(std::string(name) + " must be a whole number, got '" + text +
                                    "'");
    if (number < low || number > high)
        throw std::invalid_argument(std::string(name) +
                                    " must be a port number from 0 to 65535, got " +
                                    std::to_string(number));
    return number;
}

tileway::RedisSettings redis_settings() {
    const char* host = std::getenv("REDIS_HOST");
    return {.redis_host = host ? host : "localhost",
            .redis_port = static_cast<std::uint16_t>(whole_number("REDIS_PORT", "6379", 0, 65535)),
            .redis_db = whole_number("REDIS_DB", "0", INT64_MIN, INT64_MAX)};
}

// KAVARA_ADMIN_TOKEN: the bearer token cache invalidation asks for. Unset or empty leaves the
// route open, and the tile service warns at start-up.
std::optional<std::string> admin_token() {
    const char* token = std::getenv("KAVARA_ADMIN_TOKEN");
    if (!token || !*token)
        return std::nullopt;
    return std::string(token);
}

}  // namespace

std::unique_ptr<host::http::App> build_app(const std::filesystem::path& web_root) {
    auto app = std::make_unique<host::http::App>();
    auto tiles = std::make_shared<const tileway::Service>(
        tileway::Settings{.redis = redis_settings(), .admin_token = admin_token()},
        host::event_loop().get_executor());
    app->mount(tileway::make_router(tiles));
    plots::load();
    add_site_plan_routes(*app);
    host::http::App* self = app.get();
    app->add({.method = "GET",
              .path = "/openapi.json",
              .name = "openapi",
              .description = "The API document: every route with its parameters.",
              .handler = [self](host::http::Call&) -> host::awaitable<host::http::Response> {
                  co_return host::http::json_response(self->openapi("Kavara map back end"));
              }});
    if (!web_root.empty()) {
        auto files = std::make_shared<const host::http::StaticFiles>(web_root);
        app->set_fallback(
            [files](const host::http::Request& request) { return files->serve(request); });
    }
    return app;
}

}  // namespace kavara::server
