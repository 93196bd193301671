#include "endpoints.hpp"
#include "failures.hpp"
#include "host/negotiation.hpp"
#include "rate_limit.hpp"
#include "tile_delivery.hpp"
#include "tile_metrics.hpp"
#include "tile_query.hpp"
#include "tileway/bbox.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/mvt_sql.hpp"
#include "tileway/tile_grid.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tileway {
namespace {

std::string bbox_tile_sql(std::string_view layer_name, const LayerConfig& layer,
                          std::string geom_expr) {
    return mvt_select_sql(
        layer_name, layer,
        {.geom_expr = std::move(geom_expr),
         .buffer = "32",
         .spatial_filter = fmt::format("{0} && {1}\n            AND ST_Intersects({0}, {1})",
                                       layer.geom_col, kTileEnvelope),
         .limit = ":max_features",
         .end = ""});
}

// The WGS84 rectangle in EPSG:3857, worked out here rather than in PostgreSQL: a cached tile
// then needs no database at all, and the result is PostGIS's own to the last bit.
TileBounds transform_to_3857(const Service& service, const BboxQuery& q) {
    const TileBounds rect = wgs84_to_web_mercator(q.minx, q.miny, q.maxx, q.maxy);
    if (std::isfinite(rect.minx) && std::isfinite(rect.miny) && std::isfinite(rect.maxx) &&
        std::isfinite(rect.maxy))
        return rect;
    service.logger()->error(
        "Coordinate transformation error: no finite EPSG:3857 bounds for "
        "{}, {}, {}, {}",
        q.minx, q.miny, q.maxx, q.maxy);
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

// PostGIS cannot fit a tile to a rectangle without width or height ("Geometric bounds are too
// small"). Checked on the EPSG:3857 rectangle, the one the tile is built for; the message names
// the bounds as the client gave them. Corners given in either order stay accepted: the
// envelope is the same rectangle.
void require_width_and_height(const TileBounds& rect, const BboxQuery& q) {
    if (rect.minx == rect.maxx || rect.miny == rect.maxy) {
        throw host::http::HTTPException(
            400,
            fmt::format("Bounding box has no width or height: minx={}, miny={}, maxx={}, maxy={}",
                        q.minx, q.miny, q.maxx, q.maxy));
    }
}

}  // namespace

double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy) {
    return std::abs((maxx - minx) * (maxy - miny));
}

host::awaitable<host::http::Response> get_tile_bbox(const Service& service, std::string layer_name,
                                                    BboxQuery query,
                                                    const host::http::Request& request,
                                                    host::database::Session& db) {
    const RedisBudget counting;
    co_await enforce_rate_limit(service, request, kBboxRateLimit, counting);
    const auto redis_left = counting.left();

    const LayerConfig& layer = require_layer(layer_name);
    if (query.srid != 4326 && query.srid != 3857) {
        throw host::http::HTTPException(
            400, "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported");
    }
    if (query.srid == 4326)
        validate_wgs84(query);
    const std::int64_t max_features =
        std::min<std::int64_t>(query.max_features, MAX_FEATURES_GLOBAL);

    TileBounds rect{query.minx, query.miny, query.maxx, query.maxy};
    if (query.srid != 3857)
        rect = transform_to_3857(service, query);
    require_width_and_height(rect, query);

    // Decided before the key is made, because the key names the tile as it is built.
    const double bbox_area =
        query.srid == 4326
            ? calculate_bbox_area_degrees(query.minx, query.miny, query.maxx, query.maxy)
            : 0.01;
    const bool simplified = query.simplify && bbox_area > 0.01;
    const std::string cache_key = bbox_cache_key(layer_name, rect.minx, rect.miny, rect.maxx,
                                                 rect.maxy, max_features, simplified);
    const bool gzip = host::http::accepts_gzip(request);
    // The count and the read share the Redis budget of a tile; the transformation in between
    // is not charged to it.
    const RedisBudget reading(redis_left);
    auto read = co_await read_cached_tile(service, cache_key, 2.0, gzip, &reading);
    if (auto tile = co_await cached_tile_body(service, cache_key, read, gzip, CACHE_TTL_SHORT)) {
        count_cache_read(layer_name, "bbox", true);
        co_return tile_answer(request, std::move(*tile), CACHE_TTL_SHORT, "HIT");
    }
    count_cache_read(layer_name, "bbox", false);

    const std::string geom_expr =
        simplified ? "ST_SimplifyPreserveTopology(" + layer.geom_col + ", 50)" : layer.geom_col;
    const std::string sql = bbox_tile_sql(layer_name, layer, geom_expr);
    const host::database::Params params{{"min_x", rect.minx},
                                        {"min_y", rect.miny},
                                        {"max_x", rect.maxx},
                                        {"max_y", rect.maxy},
                                        {"max_features", max_features}};

    std::optional<host::Bytes> mvt_content;
    try {
        const StatementTimer timer(layer_name, "bbox");
        mvt_content = co_await fetch_tile(db, sql, params, 20.0);
    } catch (...) {
        const FailureAnswer failed{500, "Internal server error",
                                   "Error generating bbox tile for " + layer_name};
        answer_current_failure(
            service.logger(), {.timeout = {408, "Query timeout",
                                           "Timeout generating bbox tile for " + layer_name, false},
                               .database = failed,
                               .other = failed});
    }

    if (!mvt_content || mvt_content->empty())
        co_return host::http::empty_response(204);
    co_return tile_answer(request,
                          store_built_tile(service, cache_key, *mvt_content, gzip, CACHE_TTL_SHORT),
                          CACHE_TTL_SHORT, "MISS");
}

}  // namespace tileway
