// kavara-server: reads its settings, loads the modules, mounts their routers and serves them
// over HTTP on one event loop per process.
#include "host/logging.hpp"
#include "host/metrics.hpp"
#include "host/runtime.hpp"
#include "host/server.hpp"
#include "server_app.hpp"
#include "settings.hpp"

#include <boost/asio/signal_set.hpp>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using kavara::server::Settings;

// One worker: load, listen, serve until SIGINT/SIGTERM, then drain.
int run_worker(const Settings& settings, bool reuse_port) {
    auto& loop = host::event_loop();
    auto app = kavara::server::build_app(settings);
    host::http::ServerOptions options;
    options.host = settings.host;
    options.port = settings.port;
    options.reuse_port = reuse_port;
    options.trusted_proxies = settings.trusted_proxies;
    host::http::Server server(*app, options);
    const auto port = server.listen();
    std::cout << "Kavara server listening on http://" << settings.host << ":" << port << " (pid "
              << ::getpid() << ")" << std::endl;

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

// Several workers share the port (SO_REUSEPORT); the parent forwards signals and waits.
int run_workers(const Settings& settings) {
    std::vector<pid_t> children;
    for (int i = 0; i < settings.workers; ++i) {
        pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            try {
                Settings worker_settings = settings;
                worker_settings.prune_changes = i == 0;
                std::exit(run_worker(worker_settings, true));
            } catch (const std::exception& e) {
                std::cerr << "kavara-server: " << e.what() << std::endl;
                std::_Exit(1);
            }
        }
        children.push_back(pid);
    }
    static volatile std::sig_atomic_t stop_signal = 0;
    // No SA_RESTART: the signal must interrupt waitpid so it can be forwarded to the workers.
    struct sigaction action {};
    action.sa_handler = [](int s) { stop_signal = s; };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    int exit_code = 0;
    std::size_t running = children.size();
    bool forwarded = false;
    while (running > 0) {
        int status = 0;
        pid_t done = ::waitpid(-1, &status, 0);
        if (done < 0) {
            if (stop_signal && !forwarded) {
                for (pid_t child : children)
                    ::kill(child, SIGTERM);
                forwarded = true;
            }
            continue;
        }
        --running;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            exit_code = 1;
            if (!forwarded) {  // one worker failed: take the others down with it
                for (pid_t child : children)
                    ::kill(child, SIGTERM);
                forwarded = true;
            }
        }
    }
    return exit_code;
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
        return run_worker(settings, false);
    } catch (const std::exception& e) {
        std::cerr << "kavara-server: " << e.what() << std::endl;
        return 1;
    }
}
