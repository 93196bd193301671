#include "server_app.hpp"

#include "host/static_files.hpp"
#include "site_plan_routes.hpp"
#include "tileway/setup.hpp"

#include <plots/setup.hpp>

#include <memory>

namespace kavara::server {

std::unique_ptr<host::http::App> build_app(const std::filesystem::path& web_root) {
    auto app = std::make_unique<host::http::App>();
    app->mount(tileway::load());
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
