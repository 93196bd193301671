#pragma once

#include <spdlog/logger.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host {

using Logger = std::shared_ptr<spdlog::logger>;

// The host's own logger ("kavara"). Every logger writes single-line records
// "time level name message" to standard error.
Logger get_logger();

// A named logger, created on first use, sharing the process's sinks and level.
Logger get_logger(std::string_view name);

namespace logging {

// The level of a name as people write it, in any case: trace, debug, info, warning (or warn),
// error, critical, off. Nothing for any other name.
std::optional<spdlog::level::level_enum> level_from_name(std::string_view name);

// Sets the process-wide level and marks logging as configured by the host.
void configure(spdlog::level::level_enum level);

// True once the host has configured logging.
bool configured();

// For a deliverable at load: level INFO, unless the host has configured logging already.
void request_default_level(spdlog::level::level_enum level = spdlog::level::info);

// Collects the records written while it lives (all loggers), for tests and diagnostics.
class Capture {
  public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    struct Record {
        std::string logger;
        spdlog::level::level_enum level;
        std::string message;
    };
    std::vector<Record> records() const;
    // Records of one logger at one level, messages only.
    std::vector<std::string> messages(std::string_view logger,
                                      spdlog::level::level_enum level) const;
    void clear();

  private:
    struct Sink;
    std::shared_ptr<Sink> sink_;
};

}  // namespace logging
}  // namespace host
