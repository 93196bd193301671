#include "options.hpp"

#include <charconv>
#include <limits>
#include <string_view>

namespace seed {

const char* const usage =
    "usage: kavara-seed [--plots N] [--database-url URL] [--seed S]\n"
    "\n"
    "Replaces the contents of the \"GIS\" schema with a synthetic cadastral area near 7.45 E,\n"
    "9.05 N: local government areas, districts, cadastral zones, roads, plots and beacons.\n"
    "The same N and S always give the same data.\n"
    "\n"
    "  --plots N          number of plots (default 50000)\n"
    "  --database-url URL libpq connection URI (default: $DATABASE_URL)\n"
    "  --seed S           seed of the generator, 0 to 2^64-1 (default 20240601)\n"
    "  --help             show this text\n";

namespace {

template <typename T>
T whole_number(std::string_view option, std::string_view text, T least) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < least) {
        throw UsageError(std::string(option) + " needs a whole number of at least " +
                         std::to_string(least) + ", not '" + std::string(text) + "'");
    }
    return value;
}

}  // namespace

Options parse_options(int argc, const char* const* argv, const char* environment_url) {
    Options options;
    if (environment_url)
        options.database_url = environment_url;
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        std::string_view value;
        bool has_value = false;
        if (const auto equals = argument.find('='); equals != std::string_view::npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
            has_value = true;
        }
        const auto take_value = [&]() -> std::string_view {
            if (has_value)
                return value;
            if (i + 1 >= argc)
                throw UsageError(std::string(argument) + " needs a value");
            return argv[++i];
        };
        if (argument == "--plots") {
            options.plots = whole_number<std::uint32_t>(argument, take_value(), 1);
        } else if (argument == "--seed") {
            options.seed = whole_number<std::uint64_t>(argument, take_value(), 0);
        } else if (argument == "--database-url") {
            options.database_url = take_value();
        } else {
            throw UsageError("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    if (!options.help && options.database_url.empty())
        throw UsageError("no database: pass --database-url or set DATABASE_URL");
    return options;
}

}  // namespace seed
