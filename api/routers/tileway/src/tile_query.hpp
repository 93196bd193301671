#pragma once

#include "host/bytes.hpp"
#include "host/database.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/transaction.hpp"

#include <optional>
#include <string>

namespace tileway {

// The layer's property columns as pasted into a select list: "a", "b", "c".
inline std::string joined_properties(const LayerConfig& layer) {
    std::string out;
    for (std::size_t i = 0; i < layer.properties.size(); ++i)
        out += (i ? ", " : "") + layer.properties[i];
    return out;
}

// Runs a tile statement in a transaction scope under a time limit and returns the tile bytes,
// or null when the statement gave no row or a null value. Failures pass through unchanged.
inline host::awaitable<std::optional<host::Bytes>> fetch_tile(host::database::Session& db,
                                                              const std::string& sql,
                                                              const host::database::Params& params,
                                                              double timeout) {
    co_return co_await db_transaction(
        db, [&](host::database::Session& session) -> host::awaitable<std::optional<host::Bytes>> {
            auto result = co_await host::wait_for(session.execute(sql, params), timeout);
            auto value = result.scalar_one_or_none();
            if (!value)
                co_return std::nullopt;
            co_return value->bytes();
        });
}

}  // namespace tileway
