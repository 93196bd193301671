#pragma once

#include "support.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kavara::test::seed {

// A database of the test's own on the shared server, so that seeding never disturbs the shared
// "kavara" database; dropped again when the object goes.
class ScratchDatabase {
  public:
    explicit ScratchDatabase(const std::string& purpose);
    ~ScratchDatabase();
    ScratchDatabase(const ScratchDatabase&) = delete;
    ScratchDatabase& operator=(const ScratchDatabase&) = delete;

    const std::string& url() const noexcept { return url_; }
    // Every row of the result, each field as text (null as empty). Throws on failure.
    std::vector<std::vector<std::string>> rows(const std::string& sql) const;
    // The first field of the first row.
    std::string value(const std::string& sql) const;
    long long number(const std::string& sql) const;

  private:
    std::string name_;
    std::string url_;
};

// Runs kavara-seed with `arguments` (shell words); standard error is merged into the output.
CommandResult run_seed(const std::string& arguments);
CommandResult seed_into(const ScratchDatabase& db, std::uint32_t plots, std::uint64_t seed);

constexpr std::uint32_t seeded_plots = 500;
constexpr std::uint64_t default_seed = 20240601;

// The database the invariant tests read: `seeded_plots` plots with the default seed, seeded on
// first use and kept for the whole test program.
const ScratchDatabase& seeded();
// What that seeding run printed.
const CommandResult& seeded_run();

}  // namespace kavara::test::seed
