#pragma once

// A PostgreSQL cluster of the fault tests' own, which they stop, restart and lock without
// disturbing the shared database.

#include "harness.hpp"

#include <filesystem>
#include <string>

namespace kavara::test::tileway {

class ScratchPostgres {
  public:
    // Starts a cluster on a free port with the schema and seeds it with `plots` plots.
    explicit ScratchPostgres(int plots);
    ~ScratchPostgres();
    ScratchPostgres(const ScratchPostgres&) = delete;
    ScratchPostgres& operator=(const ScratchPostgres&) = delete;

    const std::string& url() const noexcept { return url_; }
    void start();
    void stop();

  private:
    CommandResult services(const std::string& command) const;

    std::uint16_t port_;
    std::filesystem::path dir_;
    std::string url_;
};

// The cluster of this test program, seeded with 200 plots at first use.
ScratchPostgres& program_cluster();

// The tile service of this program, loaded against program_cluster() and program_redis().
host::http::App& load_faults_app();

}  // namespace kavara::test::tileway
