#include "endpoints.hpp"
#include "failures.hpp"
#include "host/negotiation.hpp"
#include "rate_limit.hpp"
#include "tile_delivery.hpp"
#include "tile_metrics.hpp"
#include "tile_query.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/mvt_sql.hpp"
#include "tileway/tile_builder.hpp"
#include "tileway/tile_encoding.hpp"
#include "tileway/tile_grid.hpp"
#include "tileway/zoom_config.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

// The layers served at zoom z, in catalogue order.
std::vector<std::string> layers_served_at(std::int64_t z) {
    std::vector<std::string> names;
    for (const auto& [name, config] : LAYER_CONFIG)
        if (config.min_zoom_or_zero() <= z)
            names.push_back(name);
    return names;
}

// The statement of the tile, or null (logged) when the layer is not served at zoom z.
const std::pair<std::string, ZoomConfig>* statement_for(const Service& service,
                                                        const std::string& layer_name,
                                                        std::int64_t z) {
    try {
        return &mvt_sql_for_tile(layer_name, static_cast<int>(z));
    } catch (const ValueError& e) {
        service.logger()->info("Layer {} not available at zoom {}: {}", layer_name, z, e.what());
        if (z <= 6) {
            auto available_layers = layers_served_at(z);
            if (!available_layers.empty())
                service.logger()->info("Try these layers at zoom {}: {}", z,
                                       quoted_name_list(available_layers));
        }
        return nullptr;
    }
}

}  // namespace

const LayerConfig& require_layer(std::string_view layer_name) {
    if (const LayerConfig* layer = LAYER_CONFIG.find(layer_name))
        return *layer;
    throw host::http::HTTPException(404, fmt::format("Layer '{}' not found", layer_name));
}

host::awaitable<host::http::Response> get_tile_xyz(const Service& service, std::string layer_name,
                                                   std::int64_t z, std::int64_t x, std::int64_t y,
                                                   const host::http::Request& request,
                                                   host::database::Session& db) {
    // A tile that can be in the cache is read with the rate-limit check, in one round trip; the
    // answers keep their order: 429 before 404, 400 and 204.
    const RedisBudget budget;
    const bool servable = LAYER_CONFIG.contains(layer_name) && validate_tile_coords(z, x, y) &&
                          get_zoom_config(static_cast<int>(z), layer_name).has_value();
    const std::string cache_key = servable ? tile_cache_key(layer_name, z, x, y) : std::string();
    // A gzip client reads the tile's gzip entry; any other the raw tile and its content tag.
    const bool gzip = host::http::accepts_gzip(request);
    const std::string read_key = !servable ? std::string()
                                 : gzip    ? gzip_cache_key(cache_key)
                                           : cache_key;
    CachedRead cached;
    if (servable) {
        cached = co_await enforce_rate_limit_and_read(service, request, kTileRateLimit, read_key,
                                                      1.0, budget, !gzip);
    } else {
        co_await enforce_rate_limit(service, request, kTileRateLimit, budget);
    }

    require_layer(layer_name);
    if (!validate_tile_coords(z, x, y)) {
        throw host::http::HTTPException(
            400, fmt::format("Invalid tile coordinates: z={}, x={}, y={}", z, x, y));
    }
    const auto* statement = statement_for(service, layer_name, z);
    if (!statement)
        co_return host::http::empty_response(204);
    const ZoomConfig& zoom_config = statement->second;

    if (auto tile =
            co_await cached_tile_body(service, cache_key, cached, gzip, zoom_config.cache_ttl)) {
        count_cache_read(layer_name, "xyz", true);
        co_return tile_answer(request, std::move(*tile), zoom_config.cache_ttl, "HIT");
    }
    count_cache_read(layer_name, "xyz", false);

    const TileBounds bbox = xyz_to_bbox_web_mercator(z, x, y);
    std::optional<host::Bytes> mvt_content;
    try {
        const StatementTimer timer(layer_name, zoom_band(z));
        mvt_content = co_await build_tile(db, layer_name, {z, x, y});
    } catch (...) {
        const std::string tile = fmt::format("{}/{}/{}/{}", layer_name, z, x, y);
        answer_current_failure(
            service.logger(),
            {.timeout = {408, fmt::format("Tile generation timeout at zoom {}", z),
                         "Timeout generating tile " + tile, false},
             .database = {500, "Database error", "Database error for tile " + tile},
             .other = {500, "Internal server error", "Unexpected error for tile " + tile}});
    }

    if (mvt_content && !mvt_content->empty()) {
        co_return tile_answer(
            request,
            store_built_tile(service, cache_key, *mvt_content, gzip, zoom_config.cache_ttl),
            std::nullopt, nullptr);
    }
    service.logger()->info("Empty tile generated for {}/{}/{}/{} - bbox: {}", layer_name, z, x, y,
                           to_json(bbox).dump());
    co_return host::http::empty_response(204);
}

}  // namespace tileway
