#include "cache_fill.hpp"

#include "host/database.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/centroid.hpp"
#include "tileway/tile_builder.hpp"
#include "tileway/tile_encoding.hpp"
#include "tileway/transaction.hpp"
#include "tileway/zoom_config.hpp"

#include <fmt/format.h>
#include <boost/asio/experimental/parallel_group.hpp>

#include <exception>
#include <functional>
#include <stdexcept>
#include <vector>

namespace tiles {
namespace {

namespace asio = boost::asio;

using Worker = std::function<host::awaitable<void>(const bool& stop)>;

host::awaitable<void> stopping_all_on_failure(const Worker& worker, bool& stop) {
    try {
        co_await worker(stop);
    } catch (...) {
        stop = true;
        throw;
    }
}

// Runs `workers` copies of `worker` at once and waits for all of them; the first failure is
// rethrown once the others have finished. A worker should return early once `stop` is set,
// which happens as soon as one fails.
host::awaitable<void> run_workers(int workers, const Worker& worker) {
    auto executor = co_await asio::this_coro::executor;
    bool stop = false;
    using Op =
        decltype(asio::co_spawn(executor, stopping_all_on_failure(worker, stop), asio::deferred));
    std::vector<Op> ops;
    for (int i = 0; i < workers; ++i)
        ops.push_back(
            asio::co_spawn(executor, stopping_all_on_failure(worker, stop), asio::deferred));
    auto [order, errors] = co_await asio::experimental::make_parallel_group(std::move(ops))
                               .async_wait(asio::experimental::wait_for_all(), asio::use_awaitable);
    for (std::size_t index : order)
        if (errors[index])
            std::rethrow_exception(errors[index]);
}

}  // namespace

host::awaitable<SeedSummary> seed_tiles(const tileway::BinaryRedisCache& cache,
                                        tileway::LayerTileCover& cover, int concurrency,
                                        ProgressBar& progress) {
    SeedSummary summary;
    const std::string& layer = cover.layer_name();
    co_await run_workers(concurrency, [&](const bool& stop) -> host::awaitable<void> {
        for (auto tile = cover.next(); tile && !stop; tile = cover.next()) {
            const auto session = host::database::get_db();
            std::optional<host::Bytes> bytes;
            try {
                bytes = co_await tileway::build_tile(*session, layer, *tile);
            } catch (const host::TimeoutError&) {
                ++summary.failed;
                progress.note(
                    fmt::format("kavara-tiles: tile {}/{}/{}/{} not built in its time limit", layer,
                                tile->z, tile->x, tile->y));
                continue;
            }
            if (bytes) {
                const int ttl =
                    tileway::get_zoom_config(static_cast<int>(tile->z), layer)->cache_ttl;
                const auto size = static_cast<std::int64_t>(bytes->size());
                const std::string key = tileway::tile_cache_key(layer, tile->z, tile->x, tile->y);
                // The route's gzip entry too, or gzip clients would go on seeing the old tile.
                host::Bytes entry = tileway::gzip_entry(bytes->view());
                co_await cache.set(key, std::move(*bytes), ttl);
                co_await cache.set(tileway::gzip_cache_key(key), std::move(entry), ttl);
                ++summary.built;
                summary.bytes += size;
            } else {
                ++summary.empty;
            }
            progress.update(summary.built + summary.empty + summary.failed, tile->z);
        }
    });
    co_return summary;
}

host::awaitable<tileway::TileBounds> estimated_extent(std::string_view layer_name) {
    const tileway::LayerConfig& layer = tileway::LAYER_CONFIG.at(layer_name);
    const std::string sql = tileway::centroid_sql(layer.table, layer.geom_col);
    const auto session = host::database::get_db();
    const auto row = co_await tileway::db_transaction(
        *session,
        [&](host::database::Session& db) -> host::awaitable<std::optional<host::database::Row>> {
            auto result = co_await host::wait_for(db.execute(sql), 15.0);
            co_return result.first();
        });
    if (!row)
        throw std::runtime_error(
            fmt::format("layer {} has no estimated extent: run ANALYZE on {} or pass --bbox",
                        layer_name, layer.table));
    co_return tileway::TileBounds{
        (*row)["extent_minx"].as_double(), (*row)["extent_miny"].as_double(),
        (*row)["extent_maxx"].as_double(), (*row)["extent_maxy"].as_double()};
}

}  // namespace tiles
