#include "endpoints.hpp"
#include "failures.hpp"
#include "host/json_limits.hpp"
#include "host/responses.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/centroid.hpp"
#include "tileway/tile_grid.hpp"
#include "tileway/transaction.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

// A cached payload, or null when the entry is missing, not valid UTF-8 JSON or nested deeper
// than any payload of ours.
std::optional<nlohmann::ordered_json> parse_cached(const std::optional<host::Bytes>& cached) {
    if (!cached || cached->empty())
        return std::nullopt;
    try {
        return host::parse_json<nlohmann::ordered_json>(cached->view());
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    } catch (const host::JsonTooDeep&) {
        return std::nullopt;
    }
}

nlohmann::ordered_json build_payload(const std::string& layer_name, const LayerConfig& layer,
                                     const host::database::Row& centroid) {
    const double lat = centroid["lat"].as_double();
    const double lon = centroid["lon"].as_double();
    const TileAddress tile = latlon_to_xyz(lat, lon, DEFAULT_CENTROID_ZOOM);

    nlohmann::ordered_json data;
    data["layer"] = layer_name;
    data["centroid_wgs84"] = {{"latitude", lat}, {"longitude", lon}};
    data["extent_web_mercator"] = {{"minx", centroid["extent_minx"].as_double()},
                                   {"miny", centroid["extent_miny"].as_double()},
                                   {"maxx", centroid["extent_maxx"].as_double()},
                                   {"maxy", centroid["extent_maxy"].as_double()}};
    data["suggested_tile"] = to_json(tile);
    data["suggested_tile_bbox"] = to_json(xyz_to_bbox_web_mercator(tile.z, tile.x, tile.y));
    data["tile_url"] = fmt::format("/gis/{}/{}/{}/{}.pbf", layer_name, tile.z, tile.x, tile.y);
    data["layer_config"] = {{"min_zoom", layer.min_zoom_or_zero()},
                            {"properties", layer.properties}};
    return data;
}

}  // namespace

std::string centroid_sql(std::string_view table, std::string_view geom_column) {
    return fmt::format(R"(
        WITH layer_stats AS (
            -- Use ST_EstimatedExtent for a fast approximation of the layer's bounding box.
            -- This is significantly more performant than ST_Extent on large tables.
            SELECT ST_EstimatedExtent('{}', '{}') as bbox
        )
        SELECT
            -- Calculate the centroid of the estimated bbox and transform it to WGS84 (lat/lon)
            ST_Y(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lat,
            ST_X(ST_Transform(ST_SetSRID(ST_Centroid(bbox), 3857), 4326)) as lon,
            
            -- Extract the coordinates of the estimated bounding box
            ST_XMin(bbox) as extent_minx,
            ST_YMin(bbox) as extent_miny,
            ST_XMax(bbox) as extent_maxx,
            ST_YMax(bbox) as extent_maxy
        FROM layer_stats
        -- Ensure we don't proceed if the extent could not be calculated
        WHERE bbox IS NOT NULL
        )",
                       strip_double_quotes(table), strip_double_quotes(geom_column));
}

host::awaitable<host::http::Response> get_central_tile_info(const Service& service,
                                                            std::string layer_name,
                                                            host::database::Session& db) {
    const LayerConfig& layer = require_layer(layer_name);

    const std::string cache_key = centroid_cache_key(layer_name);
    auto cached_centroid = co_await service.safe_cache_get(cache_key, 2.0);
    if (auto cached = parse_cached(cached_centroid))
        co_return host::api_router_response(host::api_response({.data = std::move(*cached)}));

    const std::string sql = centroid_sql(layer.table, layer.geom_col);
    std::optional<host::database::Row> centroid;
    try {
        centroid = co_await db_transaction(
            db,
            [&](host::database::Session& session)
                -> host::awaitable<std::optional<host::database::Row>> {
                auto result = co_await host::wait_for(session.execute(sql), 15.0);
                co_return result.first();
            });
    } catch (...) {
        const FailureAnswer failed{500, "Database error",
                                   "Error calculating centroid for " + layer_name};
        answer_current_failure(
            service.logger(), {.timeout = {408, "Centroid calculation timeout",
                                           "Timeout calculating centroid for " + layer_name, false},
                               .database = failed,
                               .other = failed});
    }

    if (!centroid || (*centroid)["lat"].is_null() || (*centroid)["lon"].is_null()) {
        co_return host::api_router_response(host::api_response(
            {.message = fmt::format("No valid geometry found for layer '{}'", layer_name),
             .status_code = 404}));
    }

    auto response_data = build_payload(layer_name, layer, *centroid);
    try {
        host::Bytes cache_data(response_data.dump());
        co_await service.safe_cache_set(cache_key, cache_data, CACHE_TTL_LONG * 2);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
    }
    co_return host::api_router_response(host::api_response({.data = std::move(response_data)}));
}

}  // namespace tileway
