// kavara-tiles: fills the tile cache ahead of users, and empties parts of it.
#include "cache_fill.hpp"
#include "host/database.hpp"
#include "host/redis.hpp"
#include "host/runtime.hpp"
#include "options.hpp"
#include "progress_bar.hpp"
#include "tileway/cache.hpp"
#include "tileway/tile_cover.hpp"
#include "tileway/tile_purge.hpp"

#include <fmt/format.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_future.hpp>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <future>

namespace {

// Runs `op` on the event loop until it completes; its result, or its failure rethrown.
template <typename T>
T run_on_loop(host::awaitable<T> op) {
    auto& loop = host::event_loop();
    auto future = boost::asio::co_spawn(loop, std::move(op), boost::asio::use_future);
    while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        if (loop.run_one() == 0)
            loop.restart();
    return future.get();
}

host::redis::Options redis_options(const tiles::Environment& env) {
    host::redis::Options options;
    options.host = env.redis_host;
    options.port = env.redis_port;
    options.db = env.redis_db;
    return options;
}

std::string zoom_range(const tiles::Options& options) {
    return options.min_zoom == options.max_zoom
               ? fmt::format("z{}", options.min_zoom)
               : fmt::format("z{}-z{}", options.min_zoom, options.max_zoom);
}

host::awaitable<int> run(const tiles::Options& options, const tiles::Environment& env) {
    host::redis::Client redis(host::event_loop().get_executor(), redis_options(env));
    const tileway::BinaryRedisCache cache(redis, std::string(tileway::kTileCacheNamespace));
    tileway::TileBounds extent;
    if (options.bbox) {
        const auto& box = *options.bbox;
        extent = tileway::web_mercator_bounds(box.min_lon, box.min_lat, box.max_lon, box.max_lat);
    } else {
        extent = co_await tiles::estimated_extent(options.layer);
    }
    tileway::LayerTileCover cover(options.layer, extent, options.min_zoom, options.max_zoom);
    tiles::ProgressBar progress(cover.size());

    if (options.command == tiles::Command::seed) {
        const auto summary =
            co_await tiles::seed_tiles(cache, cover, options.concurrency, progress);
        progress.finish();
        std::printf("seeded %s %s: %lld tiles built, %lld empty, %lld failed, %lld bytes, %.1f s\n",
                    options.layer.c_str(), zoom_range(options).c_str(),
                    static_cast<long long>(summary.built), static_cast<long long>(summary.empty),
                    static_cast<long long>(summary.failed), static_cast<long long>(summary.bytes),
                    progress.elapsed());
        co_return summary.failed == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
    }
    const std::int64_t deleted = co_await tileway::purge_tile_cover(cache, cover);
    std::printf("purged %s %s: %lld keys deleted of %lld tiles covered, %.1f s\n",
                options.layer.c_str(), zoom_range(options).c_str(), static_cast<long long>(deleted),
                static_cast<long long>(cover.size()), progress.elapsed());
    co_return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    tiles::Options options;
    tiles::Environment env;
    try {
        options = tiles::parse_options(argc, argv);
        env = tiles::read_environment(
            [](const char* name) -> const char* { return std::getenv(name); });
        const bool needs_database = options.command == tiles::Command::seed || !options.bbox;
        if (options.command != tiles::Command::help && needs_database && env.database_url.empty())
            throw tiles::UsageError("DATABASE_URL is not set");
    } catch (const tiles::UsageError& e) {
        std::fprintf(stderr, "kavara-tiles: %s\n\n%s", e.what(), tiles::usage);
        return 2;
    }
    if (options.command == tiles::Command::help) {
        std::fputs(tiles::usage, stdout);
        return EXIT_SUCCESS;
    }
    try {
        host::database::configure_default_pool(
            {.conninfo = env.database_url, .size = static_cast<std::size_t>(options.concurrency)});
        return run_on_loop(run(options, env));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kavara-tiles: %s\n", e.what());
        return EXIT_FAILURE;
    }
}
