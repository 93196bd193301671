#include "options.hpp"

#include "tileway/catalogue.hpp"

#include <fmt/format.h>

#include <charconv>
#include <string_view>
#include <vector>

namespace tiles {

const char* const usage =
    "usage: kavara-tiles seed  --layer L --zooms A-B [--bbox W,S,E,N] [--concurrency N]\n"
    "       kavara-tiles purge --layer L [--zooms A-B] [--bbox W,S,E,N]\n"
    "\n"
    "seed builds every tile of the layer at zooms A to B that touches the box, exactly as the\n"
    "tile route builds it, and stores it in the tile cache for the route's time; empty tiles\n"
    "are not stored. purge deletes the cached tiles of that range (default: every zoom).\n"
    "\n"
    "  --layer L          a layer of the catalogue\n"
    "  --zooms A-B        zoom levels from A to B, 1 to 20 (or one level: A)\n"
    "  --bbox W,S,E,N     longitudes and latitudes in degrees (EPSG:4326); default: the\n"
    "                     layer's estimated extent\n"
    "  --concurrency N    tiles built at once, 1 to 64 (default 4)\n"
    "  --help             show this text\n"
    "\n"
    "Servers: DATABASE_URL, REDIS_HOST, REDIS_PORT, REDIS_DB, as for kavara-server.\n";

namespace {

template <typename T>
T number(std::string_view what, std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        throw UsageError(fmt::format("{} needs a number, not '{}'", what, text));
    return value;
}

template <typename T>
T number_between(std::string_view what, std::string_view text, T least, T most) {
    const T value = number<T>(what, text);
    if (!(value >= least && value <= most))  // also refuses NaN
        throw UsageError(
            fmt::format("{} must be from {} to {}, not '{}'", what, least, most, text));
    return value;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

void read_zooms(std::string_view text, Options& options) {
    const auto parts = split(text, '-');
    if (parts.size() > 2)
        throw UsageError(fmt::format("--zooms needs A-B, not '{}'", text));
    options.min_zoom = number_between<std::int64_t>("--zooms", parts.front(), 1, tileway::MAX_ZOOM);
    options.max_zoom = number_between<std::int64_t>("--zooms", parts.back(), 1, tileway::MAX_ZOOM);
    if (options.min_zoom > options.max_zoom)
        throw UsageError(fmt::format("--zooms {}: the first zoom is above the last", text));
}

LonLatBox read_bbox(std::string_view text) {
    const auto parts = split(text, ',');
    if (parts.size() != 4)
        throw UsageError(fmt::format("--bbox needs W,S,E,N in degrees, not '{}'", text));
    const LonLatBox box{number_between("--bbox", parts[0], -180.0, 180.0),
                        number_between("--bbox", parts[1], -90.0, 90.0),
                        number_between("--bbox", parts[2], -180.0, 180.0),
                        number_between("--bbox", parts[3], -90.0, 90.0)};
    if (box.min_lon > box.max_lon || box.min_lat > box.max_lat)
        throw UsageError(fmt::format("--bbox {}: west must not exceed east nor south north", text));
    return box;
}

Command read_command(std::string_view word) {
    if (word == "seed")
        return Command::seed;
    if (word == "purge")
        return Command::purge;
    throw UsageError(fmt::format("unknown command '{}'", word));
}

}  // namespace

Options parse_options(int argc, const char* const* argv) {
    Options options;
    if (argc < 2)
        throw UsageError("no command given");
    if (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")
        return options;
    options.command = read_command(argv[1]);
    bool zooms_given = false;
    for (int i = 2; i < argc; ++i) {
        std::string_view argument = argv[i];
        std::optional<std::string_view> inline_value;
        if (const auto equals = argument.find('='); equals != std::string_view::npos) {
            inline_value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
        }
        const auto value = [&]() -> std::string_view {
            if (inline_value)
                return *inline_value;
            if (i + 1 >= argc)
                throw UsageError(fmt::format("{} needs a value", argument));
            return argv[++i];
        };
        if (argument == "--help" || argument == "-h") {
            options.command = Command::help;
            return options;
        } else if (argument == "--layer") {
            options.layer = value();
        } else if (argument == "--zooms") {
            read_zooms(value(), options);
            zooms_given = true;
        } else if (argument == "--bbox") {
            options.bbox = read_bbox(value());
        } else if (argument == "--concurrency" && options.command == Command::seed) {
            options.concurrency = number_between("--concurrency", value(), 1, 64);
        } else {
            throw UsageError(fmt::format("unknown option '{}'", argv[i]));
        }
    }
    if (options.layer.empty())
        throw UsageError("--layer is required");
    if (!tileway::LAYER_CONFIG.contains(options.layer))
        throw UsageError(fmt::format("unknown layer '{}'; the layers are {}", options.layer,
                                     tileway::quoted_name_list(tileway::LAYER_CONFIG.keys())));
    if (options.command == Command::seed && !zooms_given)
        throw UsageError("seed needs --zooms");
    return options;
}

Environment read_environment(const char* (*getenv)(const char*)) {
    Environment env;
    const auto variable = [&](const char* name) -> std::optional<std::string_view> {
        if (const char* value = getenv(name))
            return value;
        return std::nullopt;
    };
    if (auto url = variable("DATABASE_URL"))
        env.database_url = *url;
    if (auto host = variable("REDIS_HOST"))
        env.redis_host = *host;
    if (auto port = variable("REDIS_PORT"))
        env.redis_port =
            static_cast<std::uint16_t>(number_between<std::int64_t>("REDIS_PORT", *port, 0, 65535));
    if (auto db = variable("REDIS_DB"))
        env.redis_db = number<std::int64_t>("REDIS_DB", *db);
    return env;
}

}  // namespace tiles
