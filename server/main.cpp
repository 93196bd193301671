// kavara-server: reads its settings, loads the modules, mounts their routers and serves them
// over HTTP on one event loop per process.
#include "host/logging.hpp"
#include "host/metrics.hpp"
#include "host/runtime.hpp"
#include "host/server.hpp"
#include "server_app.hpp"
#include "settings.hpp"
#include "worker_supervisor.hpp"

#include <boost/asio/signal_set.hpp>

#include <unistd.h>
#include <csignal>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using kavara::server::Settings;

host::http::ServerOptions server_options(const Settings& settings, bool reuse_port) {
    host::http::ServerOptions options;
    options.host = settings.host;
    options.port = settings.port;
    options.reuse_port = reuse_port;
    options.trusted_proxies = settings.trusted_proxies;
    options.max_connections_per_client = settings.max_connections_per_client;
    // Beside the usual reserve, one descriptor per pooled database connection.
    options.reserved_descriptors += settings.db_pool_size;
    return options;
}

// Serves until SIGINT/SIGTERM, then drains.
int serve(host::http::Server& server) {
    auto& loop = host::event_loop();
    boost::asio::signal_set signals(loop, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec)
            return;
        host::get_logger()->info("Shutting down: finishing in-flight requests");
        boost::asio::co_spawn(
            loop,
            [&]() -> host::awaitable<void> {
                co_await server.stop(std::chrono::seconds(10));
                loop.stop();
            },
            boost::asio::detached);
    });
    boost::asio::co_spawn(loop, server.serve(), boost::asio::detached);
    loop.run();
    return 0;
}

// One worker: load, listen, then serve. When loading or listening fails it says why and returns
// `could_not_start`.
int run_worker(const Settings& settings, bool reuse_port, int could_not_start) {
    std::unique_ptr<host::http::App> app;
    std::optional<host::http::Server> server;
    std::uint16_t port = 0;
    try {
        app = kavara::server::build_app(settings);
        server.emplace(*app, server_options(settings, reuse_port));
        port = server->listen();
    } catch (const std::exception& e) {
        std::cerr << "kavara-server: " << e.what() << std::endl;
        return could_not_start;
    }
    std::cout << "Kavara server listening on http://" << settings.host << ":" << port << " (pid "
              << ::getpid() << ")" << std::endl;
    return serve(*server);
}

// Several workers share the port (SO_REUSEPORT); the first of them prunes the change log.
int run_workers(const Settings& settings) {
    return kavara::server::supervise_workers(settings.workers, [&settings](int index) {
        Settings worker_settings = settings;
        worker_settings.prune_changes = index == 0;
        return run_worker(worker_settings, true, kavara::server::kWorkerCouldNotStart);
    });
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Settings settings =
            kavara::server::read_settings(std::vector<std::string>(argv + 1, argv + argc));
        if (settings.show_usage) {
            std::cout << kavara::server::usage;
            return 0;
        }
        kavara::server::configure_process(settings);
        // Before any fork, so that every worker counts into the one table.
        host::metrics::share_between_processes();
        if (settings.workers > 1)
            return run_workers(settings);
        return run_worker(settings, false, 1);
    } catch (const std::exception& e) {
        std::cerr << "kavara-server: " << e.what() << std::endl;
        return 1;
    }
}
