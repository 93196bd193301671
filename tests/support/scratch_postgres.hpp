#pragma once

// A PostgreSQL cluster of the test's own on a free port, which fault tests stop, restart and
// lock without disturbing the shared server of scripts/services.

#include "support.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace kavara::test {

class ScratchPostgres {
  public:
    // Creates the cluster and starts it.
    ScratchPostgres();
    ~ScratchPostgres();
    ScratchPostgres(const ScratchPostgres&) = delete;
    ScratchPostgres& operator=(const ScratchPostgres&) = delete;

    std::uint16_t port() const noexcept { return port_; }
    // The "kavara" database of the cluster.
    const std::string& url() const noexcept { return url_; }
    void start();
    void stop();

  private:
    CommandResult services(const std::string& command) const;

    std::uint16_t port_;
    std::filesystem::path dir_;
    std::string url_;
};

}  // namespace kavara::test
