#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace seed {

struct Options {
    std::uint32_t plots = 50000;
    std::string database_url;  // empty: none given and DATABASE_URL unset
    std::uint64_t seed = 20240601;
    bool help = false;
};

// A command line the tool cannot run with; the message says why.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads `--plots N`, `--database-url URL`, `--seed S` and `--help` (each also as --name=value).
// `environment_url` is the value of DATABASE_URL, or null.
Options parse_options(int argc, const char* const* argv, const char* environment_url);

extern const char* const usage;

}  // namespace seed
