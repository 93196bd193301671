#pragma once

#include "scratch_database.hpp"
#include "support.hpp"

#include <cstdint>
#include <string>

namespace kavara::test::seed {

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
