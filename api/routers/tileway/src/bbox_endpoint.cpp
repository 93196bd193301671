#include "rate_limit.hpp"
#include "tile_query.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/endpoints.hpp"
#include "tileway/setup.hpp"
#include "tileway/transaction.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tileway {
namespace {

constexpr const char* kMvtMediaType = "application/vnd.mapbox-vector-tile";

const char* const kTransformSql = R"(
            SELECT 
                ST_XMin(bbox_3857) as min_x, ST_YMin(bbox_3857) as min_y,
                ST_XMax(bbox_3857) as max_x, ST_YMax(bbox_3857) as max_y
            FROM (
                SELECT ST_Transform(
                    ST_MakeEnvelope(:x1, :y1, :x2, :y2, :input_srid), 3857
                ) as bbox_3857
            ) as sub
        )";

std::string bbox_tile_sql(std::string_view layer_name, const LayerConfig& layer,
                          const std::string& geom_expr) {
    const std::string properties = joined_properties(layer);
    return fmt::format(
        "\n"
        "    SELECT ST_AsMVT(mvt_data, '{layer_name}', 4096, 'mvt_geom') AS mvt\n"
        "    FROM (\n"
        "        SELECT {properties},\n"
        "            {id_col} AS feature_id,\n"
        "            ST_AsMVTGeom(\n"
        "                {geom_expr},\n"
        "                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),\n"
        "                4096,\n"
        "                32,\n"
        "                true\n"
        "            ) AS mvt_geom\n"
        "        FROM {table}\n"
        "        WHERE {geom_col} && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)\n"
        "            AND ST_Intersects({geom_col}, ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, "
        "3857))\n"
        "        ORDER BY ST_Area({geom_col}) DESC\n"
        "        LIMIT :max_features\n"
        "    ) AS mvt_data\n"
        "    WHERE mvt_data.mvt_geom IS NOT NULL\n"
        "    ",
        fmt::arg("layer_name", layer_name), fmt::arg("properties", properties),
        fmt::arg("id_col", layer.id_col), fmt::arg("geom_expr", geom_expr),
        fmt::arg("table", layer.table), fmt::arg("geom_col", layer.geom_col));
}

// Whole metres, halves to even on the exact binary value, "-0" kept: the C library's "%.0f".
std::string whole_metres(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
    return buffer;
}

struct Rect3857 {
    double min_x, min_y, max_x, max_y;
};

host::awaitable<Rect3857> transform_to_3857(const BboxQuery& q, host::database::Session& db) {
    const host::database::Params params{
        {"x1", q.minx}, {"y1", q.miny}, {"x2", q.maxx}, {"y2", q.maxy}, {"input_srid", q.srid}};
    try {
        auto result = co_await db.execute(kTransformSql, params);
        auto coords = result.first();
        if (!coords)
            throw std::runtime_error("the transformation returned no row");
        co_return Rect3857{(*coords)["min_x"].as_double(), (*coords)["min_y"].as_double(),
                           (*coords)["max_x"].as_double(), (*coords)["max_y"].as_double()};
    } catch (const std::exception& e) {
        if (host::is_cancellation(e))
            throw;
        logger()->error("Coordinate transformation error: {}", e.what());
    }
    throw host::http::HTTPException(400, "Invalid coordinate transformation");
}

void validate_wgs84(const BboxQuery& q) {
    auto longitude = [](double v) { return v >= -180 && v <= 180; };
    auto latitude = [](double v) { return v >= -90 && v <= 90; };
    if (!longitude(q.minx) || !longitude(q.maxx))
        throw host::http::HTTPException(400, "Invalid longitude values");
    if (!latitude(q.miny) || !latitude(q.maxy))
        throw host::http::HTTPException(400, "Invalid latitude values");
    if (calculate_bbox_area_degrees(q.minx, q.miny, q.maxx, q.maxy) > MAX_BBOX_AREA_WGS84) {
        throw host::http::HTTPException(
            400, fmt::format("Bounding box too large. Maximum area: {:.1f} square degrees",
                             MAX_BBOX_AREA_WGS84));
    }
}

}  // namespace

double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy) {
    return std::abs((maxx - minx) * (maxy - miny));
}

std::string bbox_cache_key(std::string_view layer_name, double min_x, double min_y, double max_x,
                           double max_y, std::int64_t max_features, bool simplify) {
    return fmt::format("bbox:{}:{}:{}:{}:{}:{}:{}", layer_name, whole_metres(min_x),
                       whole_metres(min_y), whole_metres(max_x), whole_metres(max_y), max_features,
                       simplify ? "True" : "False");
}

host::awaitable<host::http::Response> get_tile_bbox(std::string layer_name, BboxQuery query,
                                                    const host::http::Request* request,
                                                    host::database::Session& db) {
    if (request)
        co_await enforce_rate_limit(request, kBboxRateLimit);

    const LayerConfig* layer = LAYER_CONFIG.find(layer_name);
    if (!layer)
        throw host::http::HTTPException(404, fmt::format("Layer '{}' not found", layer_name));
    if (query.srid != 4326 && query.srid != 3857) {
        throw host::http::HTTPException(
            400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");
    }
    if (query.srid == 4326)
        validate_wgs84(query);
    const std::int64_t max_features =
        std::min<std::int64_t>(query.max_features, MAX_FEATURES_GLOBAL);

    Rect3857 rect{query.minx, query.miny, query.maxx, query.maxy};
    if (query.srid != 3857)
        rect = co_await transform_to_3857(query, db);

    const std::string cache_key = bbox_cache_key(layer_name, rect.min_x, rect.min_y, rect.max_x,
                                                 rect.max_y, max_features, query.simplify);
    auto cached_tile = co_await safe_cache_get(cache_key, 2.0);
    const std::string cache_control = fmt::format("public, max-age={}", CACHE_TTL_SHORT);
    if (cached_tile && !cached_tile->empty()) {
        co_return host::http::raw_response(std::move(*cached_tile), kMvtMediaType,
                                           {{"Cache-Control", cache_control}, {"X-Cache", "HIT"}});
    }

    const double bbox_area =
        query.srid == 4326
            ? calculate_bbox_area_degrees(query.minx, query.miny, query.maxx, query.maxy)
            : 0.01;
    const std::string geom_expr = query.simplify && bbox_area > 0.01
                                      ? "ST_SimplifyPreserveTopology(" + layer->geom_col + ", 50)"
                                      : layer->geom_col;
    const std::string sql = bbox_tile_sql(layer_name, *layer, geom_expr);
    const host::database::Params params{{"min_x", rect.min_x},
                                        {"min_y", rect.min_y},
                                        {"max_x", rect.max_x},
                                        {"max_y", rect.max_y},
                                        {"max_features", max_features}};

    std::optional<host::Bytes> mvt_content;
    try {
        mvt_content = co_await fetch_tile(db, sql, params, 20.0);
    } catch (const host::TimeoutError&) {
        logger()->error("Timeout generating bbox tile for {}", layer_name);
        throw host::http::HTTPException(408, "Query timeout");
    } catch (const std::exception& e) {
        if (host::is_cancellation(e))
            throw;
        logger()->error("Error generating bbox tile for {}: {}", layer_name, e.what());
        throw host::http::HTTPException(500, "Internal server error");
    }

    if (!mvt_content || mvt_content->empty())
        co_return host::http::empty_response(204);
    co_await safe_cache_set(cache_key, *mvt_content, CACHE_TTL_SHORT);
    co_return host::http::raw_response(std::move(*mvt_content), kMvtMediaType,
                                       {{"Cache-Control", cache_control}, {"X-Cache", "MISS"}});
}

}  // namespace tileway
