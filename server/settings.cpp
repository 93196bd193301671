#include "settings.hpp"

#include "host/logging.hpp"
#include "host/public_origin.hpp"

#include <fmt/format.h>
#include <algorithm>
#include <thread>

#include <charconv>
#include <stdexcept>
#include <string_view>

namespace kavara::server {
namespace {

// The one integer parser of the settings: the whole text in decimal, a leading '-' allowed, no
// '+', blanks or anything after the digits. Nothing for other text or a number beyond 64 bits.
std::optional<std::int64_t> whole_number(std::string_view text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || stop != end)
        return std::nullopt;
    return value;
}

std::int64_t number_from_to(std::string_view name, std::string_view text, std::int64_t low,
                            std::int64_t high) {
    auto value = whole_number(text);
    if (!value || *value < low || *value > high)
        throw std::invalid_argument(fmt::format("{} must be a whole number from {} to {}, got '{}'",
                                                name, low, high, text));
    return *value;
}

std::uint16_t port_number(std::string_view name, std::string_view text) {
    return static_cast<std::uint16_t>(number_from_to(name, text, 0, 65535));
}

int worker_count(std::string_view name, std::string_view text) {
    return static_cast<int>(number_from_to(name, text, 1, 64));
}

class Variables {
  public:
    explicit Variables(const Environment& environment) : environment_(environment) {}

    // The value of a set variable, empty or not.
    std::optional<std::string> any(const char* name) const {
        const char* value = environment_(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    // The value of a variable that is set and not empty.
    std::optional<std::string> non_empty(const char* name) const {
        auto value = any(name);
        return value && !value->empty() ? value : std::nullopt;
    }

  private:
    const Environment& environment_;
};

spdlog::level::level_enum log_level(const std::string& text) {
    auto level = host::logging::level_from_name(text);
    if (!level)
        throw std::invalid_argument("KAVARA_LOG_LEVEL: unknown level '" + text + "'");
    return *level;
}

void read_listening(const Variables& env, Settings& s) {
    if (auto v = env.non_empty("KAVARA_HOST"))
        s.host = *v;
    if (auto v = env.non_empty("KAVARA_PORT"))
        s.port = port_number("KAVARA_PORT", *v);
    if (auto v = env.non_empty("KAVARA_WORKERS"))
        s.workers = worker_count("KAVARA_WORKERS", *v);
    if (auto v = env.non_empty("KAVARA_WEB_ROOT"))
        s.web_root = *v;
}

// Returns false when the arguments ask for the usage only.
bool read_arguments(const std::vector<std::string>& args, Settings& s) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size())
                throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--workers") {
            s.workers = worker_count("--workers", value());
        } else if (arg == "--host") {
            s.host = value();
        } else if (arg == "--port") {
            s.port = port_number("--port", value());
        } else if (arg == "--web-root") {
            s.web_root = value();
        } else if (arg == "--help" || arg == "-h") {
            return false;
        } else {
            throw std::invalid_argument("unknown argument '" + arg + "'");
        }
    }
    return true;
}

}  // namespace

int default_workers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 64u));
}

namespace {

tileway::RedisSettings redis_settings(const Variables& env) {
    auto number = [&](const char* name, const char* fallback) {
        std::string text = env.any(name).value_or(fallback);
        auto value = whole_number(text);
        if (!value)
            throw std::invalid_argument(
                fmt::format("{} must be a whole number, got '{}'", name, text));
        return *value;
    };
    const std::int64_t port = number("REDIS_PORT", "6379");
    if (port < 0 || port > 65535)
        throw std::invalid_argument(
            fmt::format("REDIS_PORT must be a port number from 0 to 65535, got {}", port));
    return {.redis_host = env.any("REDIS_HOST").value_or("localhost"),
            .redis_port = static_cast<std::uint16_t>(port),
            .redis_db = number("REDIS_DB", "0")};
}

// What `parse` makes of a variable's value; a value it refuses is reported under the variable.
template <typename Parse>
auto parsed(const char* name, const Parse& parse) {
    try {
        return parse();
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(std::string(name) + ": " + e.what());
    }
}

void read_services(const Variables& env, Settings& s) {
    if (auto v = env.any("KAVARA_TRUSTED_PROXIES"))
        s.trusted_proxies = host::http::parse_trusted_proxies(*v);
    if (auto v = env.non_empty("KAVARA_CORS_ORIGINS"))
        s.cors = parsed("KAVARA_CORS_ORIGINS", [&] { return host::http::CorsPolicy::parse(*v); });
    if (auto v = env.non_empty("KAVARA_PUBLIC_URL"))
        s.tiles.public_origin =
            parsed("KAVARA_PUBLIC_URL", [&] { return host::http::PublicOrigin(*v); });
    s.tiles.redis = redis_settings(env);
    // KAVARA_ADMIN_TOKEN: the bearer token cache invalidation asks for. Unset or empty leaves
    // the route open, and the tile service warns at start-up.
    if (auto token = env.any("KAVARA_ADMIN_TOKEN"); token && !token->empty())
        s.tiles.admin_token = *token;
    if (auto v = env.non_empty("DATABASE_URL"))
        s.database_url = *v;
    if (auto v = env.non_empty("KAVARA_DB_POOL_SIZE")) {
        auto size = whole_number(*v);
        if (!size || *size <= 0)
            throw std::invalid_argument("KAVARA_DB_POOL_SIZE must be a positive integer, not \"" +
                                        *v + "\"");
        s.db_pool_size = static_cast<std::size_t>(*size);
    }
    if (auto v = env.non_empty("KAVARA_PLAN_MEMORY_MB"))
        s.plan_memory_mb =
            static_cast<std::size_t>(number_from_to("KAVARA_PLAN_MEMORY_MB", *v, 16, 65536));
    if (auto v = env.non_empty("KAVARA_PLAN_RATE"))
        s.plan_rate = static_cast<int>(number_from_to("KAVARA_PLAN_RATE", *v, 1, 10000));
    if (auto v = env.non_empty("KAVARA_WATCH_CHANGES"))
        s.watch_changes = number_from_to("KAVARA_WATCH_CHANGES", *v, 0, 1) == 1;
    if (auto v = env.non_empty("KAVARA_MAX_CONNECTIONS_PER_CLIENT"))
        s.max_connections_per_client = static_cast<std::size_t>(
            number_from_to("KAVARA_MAX_CONNECTIONS_PER_CLIENT", *v, 1, 1000000));
    if (auto v = env.non_empty("KAVARA_STREAMS_PER_CLIENT"))
        s.tiles.streams_per_client =
            static_cast<std::size_t>(number_from_to("KAVARA_STREAMS_PER_CLIENT", *v, 1, 1000));
    if (auto v = env.non_empty("KAVARA_BLOCKING_THREADS"))
        s.blocking_threads =
            static_cast<std::size_t>(number_from_to("KAVARA_BLOCKING_THREADS", *v, 1, 64));
}

}  // namespace

Settings read_settings(const std::vector<std::string>& args, const Environment& environment) {
    const Variables env(environment);
    Settings s;
    s.web_root = KAVARA_DEFAULT_WEB_ROOT;
    if (auto v = env.non_empty("KAVARA_LOG_LEVEL"))
        s.log_level = log_level(*v);
    read_listening(env, s);
    if (!read_arguments(args, s)) {
        s.show_usage = true;
        return s;
    }
    read_services(env, s);
    return s;
}

}  // namespace kavara::server
