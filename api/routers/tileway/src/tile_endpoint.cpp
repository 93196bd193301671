#include "host/utils.hpp"
#include "rate_limit.hpp"
#include "tile_query.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/endpoints.hpp"
#include "tileway/mvt_sql.hpp"
#include "tileway/setup.hpp"
#include "tileway/transaction.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

constexpr const char* kMvtMediaType = "application/vnd.mapbox-vector-tile";

// The layers served at zoom z, in catalogue order.
std::vector<std::string> layers_served_at(std::int64_t z) {
    std::vector<std::string> names;
    for (const auto& [name, config] : LAYER_CONFIG)
        if (config.min_zoom_or_zero() <= z)
            names.push_back(name);
    return names;
}

host::database::Params tile_params(const nlohmann::ordered_json& bbox) {
    return {{"min_x", bbox["minx"].get<double>()},
            {"min_y", bbox["miny"].get<double>()},
            {"max_x", bbox["maxx"].get<double>()},
            {"max_y", bbox["maxy"].get<double>()}};
}

}  // namespace

bool validate_tile_coords(std::int64_t z, std::int64_t x, std::int64_t y) {
    if (z < 1 || z > 20)
        return false;
    const std::int64_t tiles = std::int64_t{1} << z;
    return x >= 0 && x < tiles && y >= 0 && y < tiles;
}

double tile_timeout(std::int64_t z) {
    if (z <= 6)
        return 10.0;
    if (z <= 10)
        return 12.0;
    if (z <= 14)
        return 15.0;
    if (z <= 16)
        return 20.0;
    return 30.0;
}

host::awaitable<host::http::Response> get_tile_xyz(std::string layer_name, std::int64_t z,
                                                   std::int64_t x, std::int64_t y,
                                                   const host::http::Request* request,
                                                   host::database::Session& db) {
    co_await enforce_rate_limit(request, kTileRateLimit);

    if (!LAYER_CONFIG.contains(layer_name))
        throw host::http::HTTPException(404, fmt::format("Layer '{}' not found", layer_name));
    if (!validate_tile_coords(z, x, y)) {
        throw host::http::HTTPException(
            400, fmt::format("Invalid tile coordinates: z={}, x={}, y={}", z, x, y));
    }

    const std::pair<std::string, ZoomConfig>* statement = nullptr;
    try {
        statement = &mvt_sql_for_tile(layer_name, static_cast<int>(z));
    } catch (const ValueError& e) {
        logger()->info("Layer {} not available at zoom {}: {}", layer_name, z, e.what());
        if (z <= 6) {
            auto available_layers = layers_served_at(z);
            if (!available_layers.empty())
                logger()->info("Try these layers at zoom {}: {}", z,
                               quoted_name_list(available_layers));
        }
        co_return host::http::empty_response(204);
    }
    const auto& [sql, zoom_config] = *statement;

    std::string cache_key = fmt::format("{}:{}:{}:{}", layer_name, z, x, y);
    auto cached_tile = co_await safe_cache_get(cache_key);
    if (cached_tile && !cached_tile->empty()) {
        co_return host::http::raw_response(
            std::move(*cached_tile), kMvtMediaType,
            {{"Cache-Control", fmt::format("public, max-age={}", zoom_config.cache_ttl)},
             {"X-Cache", "HIT"}});
    }

    const auto bbox = host::xyz_to_bbox_web_mercator(z, x, y);
    const auto params = tile_params(bbox);
    const double timeout = tile_timeout(z);

    std::optional<host::Bytes> mvt_content;
    try {
        mvt_content = co_await fetch_tile(db, sql, params, timeout);
    } catch (const host::TimeoutError&) {
        logger()->error("Timeout generating tile {}/{}/{}/{}", layer_name, z, x, y);
        throw host::http::HTTPException(408, fmt::format("Tile generation timeout at zoom {}", z));
    } catch (const host::database::DatabaseError& e) {
        logger()->error("Database error for tile {}/{}/{}/{}: {}", layer_name, z, x, y, e.what());
        throw host::http::HTTPException(500, "Database error");
    } catch (const std::exception& e) {
        if (host::is_cancellation(e))
            throw;
        logger()->error("Unexpected error for tile {}/{}/{}/{}: {}", layer_name, z, x, y, e.what());
        throw host::http::HTTPException(500, "Internal server error");
    }

    if (mvt_content && !mvt_content->empty()) {
        co_await safe_cache_set(cache_key, *mvt_content, zoom_config.cache_ttl);
        co_return host::http::raw_response(std::move(*mvt_content), kMvtMediaType);
    }
    logger()->info("Empty tile generated for {}/{}/{}/{} - bbox: {}", layer_name, z, x, y,
                   bbox.dump());
    co_return host::http::empty_response(204);
}

}  // namespace tileway
