#include "server_app.hpp"

#include "host/database.hpp"
#include "host/logging.hpp"
#include "host/metrics.hpp"
#include "host/runtime.hpp"
#include "host/static_files.hpp"
#include "site_plans/routes.hpp"
#include "tileway/change_watcher.hpp"
#include "tileway/routes.hpp"
#include "tileway/service.hpp"

#include <plots/setup.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include <memory>
#include <system_error>

namespace kavara::server {
namespace {

// The demo page is optional: a server without a built page still serves the API.
std::filesystem::path web_root_or_nothing(const std::filesystem::path& web_root) {
    std::error_code ec;
    if (web_root.empty() || std::filesystem::is_directory(web_root, ec))
        return web_root;
    host::get_logger()->warn(
        "No demo page: {} is not a folder (build it with npm run build in web/)",
        web_root.string());
    return {};
}

// Runs for the life of the process; it ends by itself when the database has no change log.
void start_change_watcher(const Settings& settings,
                          const std::shared_ptr<const tileway::Service>& tiles) {
    auto watcher = std::make_shared<tileway::ChangeWatcher>(
        tiles->cache(), tiles->change_feed(), tiles->logger(),
        tileway::WatchOptions{.database = {.conninfo = settings.database_url},
                              .prune = settings.prune_changes});
    boost::asio::co_spawn(
        host::event_loop(),
        [watcher, tiles]() -> host::awaitable<void> { co_await watcher->run(); },
        boost::asio::detached);
}

}  // namespace

void configure_process(const Settings& settings) {
    if (settings.log_level)
        host::logging::configure(*settings.log_level);
    host::set_blocking_threads(settings.blocking_threads);
}

std::unique_ptr<host::http::App> build_app(const Settings& settings) {
    const auto web_root = web_root_or_nothing(settings.web_root);
    host::database::configure_default_pool(
        {.conninfo = settings.database_url, .size = settings.db_pool_size});
    auto app = std::make_unique<host::http::App>();
    auto tiles =
        std::make_shared<const tileway::Service>(settings.tiles, host::event_loop().get_executor());
    app->mount(tileway::make_router(tiles));
    if (settings.watch_changes && !settings.database_url.empty())
        start_change_watcher(settings, tiles);
    plots::load();
    // The plans count their clients on the tile service's Redis connection: one per process.
    app->mount(site_plans::router(
        {.memory_bytes = settings.plan_memory_mb << 20,
         .redis = std::shared_ptr<host::redis::Client>(tiles, &tiles->redis_client()),
         .plans_per_second = settings.plan_rate}));
    host::http::App* self = app.get();
    app->add({.method = "GET",
              .path = "/openapi.json",
              .name = "openapi",
              .description = "The API document: every route with its parameters.",
              .handler = [self](host::http::Call&) -> host::awaitable<host::http::Response> {
                  co_return host::http::json_response(self->openapi("Kavara map back end"));
              }});
    app->add({.method = "GET",
              .path = "/metrics",
              .name = "metrics",
              .description = "The server's counters, gauges and histograms, summed over its "
                             "workers, in the Prometheus text format.",
              .response = host::http::ResponseKind::raw,
              .handler = [](host::http::Call&) -> host::awaitable<host::http::Response> {
                  co_return host::http::raw_response(host::Bytes(host::metrics::exposition()),
                                                     "text/plain; version=0.0.4; charset=utf-8");
              }});
    app->set_cors(settings.cors);
    if (!web_root.empty()) {
        auto files = std::make_shared<const host::http::StaticFiles>(web_root);
        app->set_fallback(
            [files](const host::http::Request& request) { return files->serve(request); });
    }
    return app;
}

std::unique_ptr<host::http::App> build_app() {
    Settings settings = read_settings({});
    settings.web_root.clear();
    settings.watch_changes = false;  // the tests drive the cache themselves
    return build_app(settings);
}

}  // namespace kavara::server
