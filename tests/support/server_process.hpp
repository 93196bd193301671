#pragma once

// kavara-server as a child process of the test, for what only the real program shows: its
// start-up lines, its exit status and requests over real sockets.

#include "support.hpp"

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kavara::test {

// The kavara-server binary of this build.
std::string server_binary();

// A kavara-server child on a free port, its standard output and error in files of its own.
class ServerProcess {
  public:
    // `environment` holds shell assignments, or "-u NAME" removals for env(1); `arguments` are
    // shell words for the program.
    explicit ServerProcess(const std::string& environment = "",
                           const std::vector<std::string>& arguments = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Until the program has announced that it listens.
    bool wait_listening(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // Until the health endpoint answers with success.
    bool wait_healthy();
    // SIGTERM, then the exit status (-1 if it did not exit by itself).
    int stop();

    std::uint16_t port() const noexcept { return port_; }
    std::string url(const std::string& path) const;
    // curl -sf of `path` on the server, `extra` being further curl options.
    CommandResult curl(const std::string& path, const std::string& extra = "") const;
    std::string output() const;
    std::string errors() const;

  private:
    std::uint16_t port_;
    std::string out_;
    pid_t pid_ = -1;
};

}  // namespace kavara::test
