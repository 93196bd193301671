// kavara-server: the host application. Loads the deliverables, mounts their routers and serves
// them over HTTP on one event loop per process.
#include "host/logging.hpp"
#include "host/runtime.hpp"
#include "host/server.hpp"
#include "server_app.hpp"

#include <boost/asio/signal_set.hpp>

#include <sys/wait.h>
#include <unistd.h>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Settings {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8000;
    int workers = 1;
    std::filesystem::path web_root = KAVARA_DEFAULT_WEB_ROOT;
};

int to_int(const std::string& what, const std::string& text, int low, int high) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw std::invalid_argument(what + " must be a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", got '" + text + "'");
    return value;
}

Settings read_settings(int argc, char** argv) {
    Settings s;
    if (const char* v = std::getenv("KAVARA_HOST"); v && *v)
        s.host = v;
    if (const char* v = std::getenv("KAVARA_PORT"); v && *v)
        s.port = static_cast<std::uint16_t>(to_int("KAVARA_PORT", v, 0, 65535));
    if (const char* v = std::getenv("KAVARA_WORKERS"); v && *v)
        s.workers = to_int("KAVARA_WORKERS", v, 1, 64);
    if (const char* v = std::getenv("KAVARA_WEB_ROOT"); v && *v)
        s.web_root = v;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--workers") {
            s.workers = to_int("--workers", value(), 1, 64);
        } else if (arg == "--host") {
            s.host = value();
        } else if (arg == "--port") {
            s.port = static_cast<std::uint16_t>(to_int("--port", value(), 0, 65535));
        } else if (arg == "--web-root") {
            s.web_root = value();
        } else if (arg == "--help" || arg == "-h") {
            std::cout
                << "usage: kavara-server [--host H] [--port P] [--workers N] [--web-root DIR]\n";
            std::exit(0);
        } else {
            throw std::invalid_argument("unknown argument '" + arg + "'");
        }
    }
    return s;
}

// The demo page is optional: a server without a built page still serves the API.
std::filesystem::path web_root_or_nothing(const std::filesystem::path& web_root) {
    std::error_code ec;
    if (std::filesystem::is_directory(web_root, ec))
        return web_root;
    host::get_logger()->warn(
        "No demo page: {} is not a folder (build it with npm run build in web/)",
        web_root.string());
    return {};
}

// One worker: load, listen, serve until SIGINT/SIGTERM, then drain.
int run_worker(const Settings& settings, bool reuse_port) {
    auto& loop = host::event_loop();
    auto app = kavara::server::build_app(web_root_or_nothing(settings.web_root));
    host::http::ServerOptions options;
    options.host = settings.host;
    options.port = settings.port;
    options.reuse_port = reuse_port;
    options.trusted_proxies = host::http::trusted_proxies_from_environment();
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
                std::exit(run_worker(settings, true));
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
        host::logging::configure_from_environment();
        Settings settings = read_settings(argc, argv);
        if (settings.workers > 1)
            return run_workers(settings);
        return run_worker(settings, false);
    } catch (const std::exception& e) {
        std::cerr << "kavara-server: " << e.what() << std::endl;
        return 1;
    }
}
