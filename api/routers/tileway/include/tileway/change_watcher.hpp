#pragma once

#include "host/database.hpp"
#include "host/database_listener.hpp"
#include "host/logging.hpp"
#include "host/runtime.hpp"
#include "tileway/cache.hpp"
#include "tileway/change_feed.hpp"
#include "tileway/change_log.hpp"

#include <chrono>
#include <cstdint>
#include <set>
#include <vector>

namespace tileway {

struct WatchOptions {
    // The database with the change log; the watcher opens a connection of its own there.
    host::database::PoolOptions database;
    // Purge each change a second time once settled and prune it from the log. Every watcher
    // purges a change before it tells its clients of it, so a client that fetches the tile on
    // hearing of it gets the new bytes; one process of the machine also prunes.
    bool prune = true;
    // A tile built from a snapshot taken before an edit's commit can be stored after the purge;
    // each change is purged again this long after, which outlasts the longest tile statement
    // and its cache write, and only then pruned.
    std::chrono::steady_clock::duration settle = std::chrono::seconds(40);
    // The log is read this often even without a notification.
    std::chrono::steady_clock::duration poll = std::chrono::seconds(30);
    // Wait between attempts to reach a database that is away.
    std::chrono::steady_clock::duration retry = std::chrono::seconds(1);
};

// Follows the database's change log (kavara.changes, filled by scripts/sql/changes.sql): it
// listens for "kavara_changes" on a connection of its own and, on each notification (and every
// `poll`), reads the changes it has not handled, deletes the cached z/x/y tiles they touch and
// publishes them on the feed. The table is the record: after a lost connection it reconnects
// and reads what it missed. A change leaves the table only once purged twice (see `settle`),
// row by row, so one committed late under a smaller id is never skipped; any number of
// watchers may follow one log and one Redis, since deleting keys and rows is idempotent.
class ChangeWatcher {
  public:
    ChangeWatcher(const BinaryRedisCache& cache, ChangeFeed& feed, host::Logger logger,
                  WatchOptions options);

    // Runs until cancelled, or until it finds that the database has no change log.
    host::awaitable<void> run();

  private:
    struct Settling {
        std::chrono::steady_clock::time_point due;
        std::vector<ChangeRecord> changes;
    };

    // True once connected and listening; false when the database has no change log.
    host::awaitable<bool> connect();
    host::awaitable<void> follow();
    // Reads, purges and publishes the changes not yet handled, in batches.
    host::awaitable<void> handle_new_changes();
    host::awaitable<std::size_t> handle_batch();
    // Purges the settled changes again and prunes them from the log.
    host::awaitable<void> finish_settled();
    host::awaitable<void> wait_for_news();
    host::awaitable<void> pause(std::chrono::steady_clock::duration how_long);
    std::string handled_ids() const;

    const BinaryRedisCache& cache_;
    ChangeFeed& feed_;
    host::Logger logger_;
    WatchOptions options_;
    std::unique_ptr<host::database::Listener> db_;
    std::set<std::int64_t> handled_;  // read and purged, not yet pruned
    std::vector<Settling> settling_;  // in order of `due`
};

}  // namespace tileway
