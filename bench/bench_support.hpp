#pragma once

// What the benchmark programs share: where they take their tiles, and how they run.

#include "host/database.hpp"
#include "host/runtime.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/centroid.hpp"

#include <boost/asio/co_spawn.hpp>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string_view>

namespace bench {

// The estimated centre of a layer.
struct LatLon {
    double lat = 0;
    double lon = 0;
};

inline host::awaitable<LatLon> layer_centre(host::database::Session& db,
                                            const tileway::LayerConfig& config) {
    auto row = (co_await db.execute(tileway::centroid_sql(config.table, config.geom_col))).first();
    if (!row)
        throw std::runtime_error("no extent estimate: run ANALYZE");
    co_return LatLon{(*row)["lat"].as_double(), (*row)["lon"].as_double()};
}

// Runs `work` on the event loop over DATABASE_URL (one connection); the exit status, with the
// error after the program's name on standard error.
inline int run(std::string_view program, host::awaitable<void> work) {
    if (const char* url = std::getenv("DATABASE_URL"))
        host::database::configure_default_pool({.conninfo = url, .size = 1});
    int status = 0;
    boost::asio::co_spawn(host::event_loop(), std::move(work), [&](std::exception_ptr e) {
        if (!e)
            return;
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& error) {
            std::cerr << program << ": " << error.what() << "\n";
            status = 1;
        }
    });
    host::event_loop().run();
    return status;
}

}  // namespace bench
