#include "tileway/change_watcher.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <exception>

namespace tileway {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kChannel = "kavara_changes";
constexpr std::int64_t kBatchSize = 2000;

const std::string log_exists_sql = "SELECT to_regclass('kavara.changes') IS NOT NULL AS present";

// Whole rows in id order; ids already handled (and so still settling) are passed as an array.
const std::string unhandled_changes_sql = R"(
    SELECT id, layer,
        ST_XMin(old_extent) AS old_minx, ST_YMin(old_extent) AS old_miny,
        ST_XMax(old_extent) AS old_maxx, ST_YMax(old_extent) AS old_maxy,
        ST_XMin(new_extent) AS new_minx, ST_YMin(new_extent) AS new_miny,
        ST_XMax(new_extent) AS new_maxx, ST_YMax(new_extent) AS new_maxy
    FROM kavara.changes
    WHERE id <> ALL(CAST(:handled AS bigint[]))
    ORDER BY id
    LIMIT :batch)";

const std::string prune_sql = "DELETE FROM kavara.changes WHERE id = ANY(CAST(:ids AS bigint[]))";

std::optional<TileBounds> extent_of(const host::database::Row& row, const char* prefix) {
    const std::string p(prefix);
    const auto minx = row[p + "minx"];
    if (minx.is_null())
        return std::nullopt;
    return TileBounds{minx.as_double(), row[p + "miny"].as_double(), row[p + "maxx"].as_double(),
                      row[p + "maxy"].as_double()};
}

template <typename Ids>
std::string id_array(const Ids& ids) {
    return fmt::format("{{{}}}", fmt::join(ids, ","));
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

ChangeWatcher::ChangeWatcher(const BinaryRedisCache& cache, ChangeFeed& feed, host::Logger logger,
                             WatchOptions options)
    : cache_(cache), feed_(feed), logger_(std::move(logger)), options_(std::move(options)) {}

host::awaitable<void> ChangeWatcher::run() {
    bool failing = false;
    for (;;) {
        try {
            if (!co_await connect()) {
                logger_->info(
                    "No change log in the database (scripts/sql/changes.sql): edited tiles are "
                    "replaced when they expire");
                co_return;
            }
            if (failing)
                logger_->info("Change watcher reconnected; reading the changes it missed");
            failing = false;
            co_await follow();
        } catch (const std::exception& e) {
            if (host::is_cancellation(e))
                throw;
            if (!failing)
                logger_->warn("Change watcher failed, retrying every second: {}", e.what());
            failing = true;
        }
        db_.reset();
        co_await pause(options_.retry);
    }
}

host::awaitable<bool> ChangeWatcher::connect() {
    auto executor = co_await asio::this_coro::executor;
    db_ = co_await host::database::Listener::open(executor, options_.database, kChannel);
    const auto present = (co_await db_->execute(log_exists_sql)).scalar_one_or_none();
    co_return present && present->as_bool();
}

host::awaitable<void> ChangeWatcher::follow() {
    for (;;) {
        co_await handle_new_changes();
        co_await finish_settled();
        co_await wait_for_news();
    }
}

host::awaitable<void> ChangeWatcher::handle_new_changes() {
    // Not a co_await in the loop's condition: g++ 12 miscompiles that.
    for (;;) {
        const std::size_t handled = co_await handle_batch();
        if (handled < static_cast<std::size_t>(kBatchSize))
            co_return;
    }
}

host::awaitable<std::size_t> ChangeWatcher::handle_batch() {
    const auto start = Clock::now();
    const host::database::Params params{{"handled", handled_ids()}, {"batch", kBatchSize}};
    const auto result = co_await db_->execute(unhandled_changes_sql, params);
    if (result.rows() == 0)
        co_return 0;
    // A watcher that does not prune forgets a change later than the one that prunes it, so
    // that it does not read it again in between.
    const auto settle = options_.prune ? options_.settle : 2 * options_.settle;
    Settling settling{.due = Clock::now() + settle, .changes = {}};
    ChangedTiles tiles;
    for (int i = 0; i < result.rows(); ++i) {
        const auto row = result.row(i);
        ChangeRecord change{.id = row["id"].as_int(),
                            .layer = row["layer"].text(),
                            .old_extent = extent_of(row, "old_"),
                            .new_extent = extent_of(row, "new_")};
        tiles.add(change);
        settling.changes.push_back(std::move(change));
    }
    // Purged before the clients hear of it, by every watcher: the pruning one may be in
    // another process and later than this one.
    const std::int64_t deleted = co_await tiles.purge(cache_);
    for (const auto& change : settling.changes) {
        handled_.insert(change.id);
        feed_.publish(change);
    }
    // One line a batch for the machine: the pruning watcher's.
    logger_->log(options_.prune ? spdlog::level::info : spdlog::level::debug,
                 "Changes handled: {} changes, {} keys deleted, {:.1f} ms", settling.changes.size(),
                 deleted, seconds_since(start) * 1000.0);
    const std::size_t count = settling.changes.size();
    settling_.push_back(std::move(settling));
    co_return count;
}

host::awaitable<void> ChangeWatcher::finish_settled() {
    while (!settling_.empty() && settling_.front().due <= Clock::now()) {
        const auto& settled = settling_.front().changes;
        std::vector<std::int64_t> ids;
        if (options_.prune) {
            ChangedTiles tiles;
            for (const auto& change : settled) {
                tiles.add(change);
                ids.push_back(change.id);
            }
            co_await tiles.purge(cache_);
            const host::database::Params params{{"ids", id_array(ids)}};
            co_await db_->execute(prune_sql, params);
        }
        for (const auto& change : settled)
            handled_.erase(change.id);
        settling_.erase(settling_.begin());
    }
}

host::awaitable<void> ChangeWatcher::wait_for_news() {
    auto limit = options_.poll;
    if (!settling_.empty())
        limit = std::min(limit,
                         std::max(Clock::duration::zero(), settling_.front().due - Clock::now()));
    try {
        co_await host::wait_for(db_->wait(), limit);
    } catch (const host::TimeoutError&) {
    }
}

host::awaitable<void> ChangeWatcher::pause(std::chrono::steady_clock::duration how_long) {
    asio::steady_timer timer(co_await asio::this_coro::executor, how_long);
    co_await timer.async_wait(asio::use_awaitable);
}

std::string ChangeWatcher::handled_ids() const {
    return id_array(handled_);
}

}  // namespace tileway
