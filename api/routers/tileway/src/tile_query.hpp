#pragma once

#include "host/bytes.hpp"
#include "host/database.hpp"
#include "tileway/transaction.hpp"

#include <optional>
#include <string>

namespace tileway {

inline constexpr const char* kMvtMediaType = "application/vnd.mapbox-vector-tile";

// Runs a tile statement in a transaction scope under a time limit and returns the tile bytes,
// or null when the statement gave no row or a null value. Failures pass through unchanged. The
// statement goes with its BEGIN and COMMIT in one round trip, so the scope's own commit finds
// nothing left to do.
inline host::awaitable<std::optional<host::Bytes>> fetch_tile(host::database::Session& db,
                                                              const std::string& sql,
                                                              const host::database::Params& params,
                                                              double timeout) {
    co_return co_await db_transaction(
        db, [&](host::database::Session& session) -> host::awaitable<std::optional<host::Bytes>> {
            auto result = co_await host::wait_for(session.execute_and_commit(sql, params), timeout);
            auto value = result.scalar_one_or_none();
            if (!value)
                co_return std::nullopt;
            co_return value->bytes();
        });
}

}  // namespace tileway
