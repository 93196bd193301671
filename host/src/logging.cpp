#include "host/logging.hpp"

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

namespace host {
namespace {

constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %l %n %v";

struct Registry {
    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks;
    spdlog::level::level_enum level = spdlog::level::info;
    bool configured = false;
    std::vector<Logger> loggers;

    Registry() : sinks(std::make_shared<spdlog::sinks::dist_sink_mt>()) {
        auto err = std::make_shared<spdlog::sinks::stderr_sink_mt>();
        err->set_pattern(kPattern);
        sinks->add_sink(err);
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

}  // namespace

Logger get_logger(std::string_view name) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& logger : r.loggers)
        if (logger->name() == name)
            return logger;
    auto logger = std::make_shared<spdlog::logger>(std::string(name), r.sinks);
    logger->set_level(r.level);
    logger->flush_on(spdlog::level::warn);
    r.loggers.push_back(logger);
    return logger;
}

Logger get_logger() {
    return get_logger("kavara");
}

namespace logging {
namespace {

void apply_level(Registry& r, spdlog::level::level_enum level) {
    r.level = level;
    for (auto& logger : r.loggers)
        logger->set_level(level);
}

}  // namespace

void configure(spdlog::level::level_enum level) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.configured = true;
    apply_level(r, level);
}

std::optional<spdlog::level::level_enum> level_from_name(std::string_view text) {
    std::string name(text);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "warning")
        name = "warn";
    auto level = spdlog::level::from_str(name);
    if (level == spdlog::level::off && name != "off")
        return std::nullopt;
    return level;
}

bool configured() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.configured;
}

void request_default_level(spdlog::level::level_enum level) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.configured)
        apply_level(r, level);
}

struct Capture::Sink : spdlog::sinks::base_sink<std::mutex> {
    std::vector<Record> records;
    std::vector<Record> snapshot() {
        std::lock_guard lock(mutex_);
        return records;
    }
    void reset() {
        std::lock_guard lock(mutex_);
        records.clear();
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        records.push_back({std::string(msg.logger_name.begin(), msg.logger_name.end()), msg.level,
                           std::string(msg.payload.begin(), msg.payload.end())});
    }
    void flush_() override {}
};

Capture::Capture() : sink_(std::make_shared<Sink>()) {
    registry().sinks->add_sink(sink_);
}

Capture::~Capture() {
    registry().sinks->remove_sink(sink_);
}

std::vector<Capture::Record> Capture::records() const {
    return sink_->snapshot();
}

std::vector<std::string> Capture::messages(std::string_view logger,
                                           spdlog::level::level_enum level) const {
    std::vector<std::string> out;
    for (auto& record : sink_->snapshot())
        if (record.logger == logger && record.level == level)
            out.push_back(record.message);
    return out;
}

void Capture::clear() {
    sink_->reset();
}

}  // namespace logging
}  // namespace host
