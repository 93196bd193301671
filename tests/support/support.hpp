#pragma once

#include "host/redis.hpp"
#include "host/runtime.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace kavara::test {

// Runs `op` on the process's event loop until it completes and returns its result (or rethrows).
template <typename T>
T run(host::awaitable<T> op) {
    auto& loop = host::event_loop();
    auto future = boost::asio::co_spawn(loop, std::move(op), boost::asio::use_future);
    loop.restart();
    while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        if (loop.run_one() == 0)
            loop.restart();
    }
    return future.get();
}

// Runs the event loop until the background tasks requests left behind (the cache writes after
// an answer) have finished, so that a test sees what they stored or logged.
void settle();

// The whole file at `path`; empty when it cannot be read.
std::string read_file(const std::string& path);

std::string env_or(const char* name, const std::string& fallback);
std::filesystem::path source_dir();
std::filesystem::path binary_dir();

// A loopback port nobody listens on right now.
std::uint16_t free_port();

// Seconds since `start`, as a real.
double seconds_since(std::chrono::steady_clock::time_point start);

// Polls `condition` every 20 ms until it holds or `limit` passes; returns whether it held.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit);

// A redis-server of the test's own, on a free port, without persistence. Fault tests stop, pause
// (SIGSTOP) and kill it without disturbing the shared server of scripts/services.
// Client options for a Redis server on this machine.
host::redis::Options local_redis(std::uint16_t port, double socket_timeout = 5.0);

class ScratchRedis {
  public:
    ScratchRedis();
    ~ScratchRedis();
    ScratchRedis(const ScratchRedis&) = delete;
    ScratchRedis& operator=(const ScratchRedis&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    void start();
    void stop();    // SIGKILL and wait
    void pause();   // SIGSTOP: the socket accepts but nothing answers
    void resume();  // SIGCONT
    bool running() const noexcept { return pid_ > 0; }
    // Runs redis-cli against it and returns its output, trimmed.
    std::string cli(const std::string& args) const;

  private:
    std::uint16_t port_;
    std::filesystem::path dir_;
    pid_t pid_ = -1;
};

// A TCP listener on a free loopback port that accepts connections and never answers.
class SilentListener {
  public:
    SilentListener();
    ~SilentListener();
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;
    std::uint16_t port() const noexcept { return port_; }

  private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Runs a shell command, returns its exit status and standard output.
struct CommandResult {
    int status;
    std::string out;
};
CommandResult shell(const std::string& command);

// The connection string of the shared test database (DATABASE_URL).
std::string database_url();
// The Redis port of the shared test server (REDIS_PORT).
std::uint16_t redis_port();

// Runs SQL on the shared test database with a blocking connection of its own; returns the
// first column of every row as text (null as empty). Throws std::runtime_error on failure.
std::vector<std::string> sql(const std::string& statement);

}  // namespace kavara::test
