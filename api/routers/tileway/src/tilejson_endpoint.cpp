#include "endpoints.hpp"
#include "failures.hpp"
#include "host/json_limits.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/tile_grid.hpp"
#include "tileway/transaction.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace tileway {
namespace {

// The layer's estimated extent in degrees (null columns before its table was analysed) and the
// TileJSON type of each of its columns. Identifiers come from the catalogue only.
std::string layer_facts_sql(const LayerConfig& layer) {
    return fmt::format(R"(
        SELECT ST_XMin(box) AS west, ST_YMin(box) AS south,
               ST_XMax(box) AS east, ST_YMax(box) AS north,
               (SELECT json_object_agg(attname,
                           CASE WHEN atttypid IN ('int2'::regtype, 'int4'::regtype,
                                                  'int8'::regtype, 'float4'::regtype,
                                                  'float8'::regtype, 'numeric'::regtype)
                                THEN 'Number'
                                WHEN atttypid = 'bool'::regtype THEN 'Boolean'
                                ELSE 'String' END)::text
                  FROM pg_attribute
                 WHERE attrelid = '{}'::regclass AND attnum > 0 AND NOT attisdropped)
                   AS field_types
        FROM (SELECT ST_Transform(
                  ST_SetSRID(ST_EstimatedExtent('{}', '{}')::geometry, 3857), 4326) AS box) AS extent
        )",
                       layer.table, strip_double_quotes(layer.table),
                       strip_double_quotes(layer.geom_col));
}

// The attributes each feature of the layer carries, with their types.
nlohmann::ordered_json fields_of(const LayerConfig& layer, const nlohmann::json& types) {
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    auto type_of = [&](const std::string& column) {
        auto it = types.find(column);
        return it != types.end() && it->is_string() ? it->get<std::string>() : "String";
    };
    for (const auto& property : layer.properties) {
        const std::string name = strip_double_quotes(property);
        fields[name] = type_of(name);
    }
    fields["feature_id"] = type_of(strip_double_quotes(layer.id_col));
    return fields;
}

// The zoom at which the whole extent fits in about one tile, inside the layer's zooms.
int fitting_zoom(double west, double east, int min_zoom) {
    const double width = std::max(east - west, 1e-9);
    const int zoom = static_cast<int>(std::floor(std::log2(360.0 / width)));
    return std::clamp(zoom, std::max(min_zoom, 1), static_cast<int>(MAX_ZOOM));
}

nlohmann::ordered_json tilejson(const std::string& origin, const std::string& layer_name,
                                const LayerConfig& layer, const host::database::Row& facts) {
    const int min_zoom = layer.min_zoom_or_zero();
    double west = -180, south = -85.051129, east = 180, north = 85.051129;
    if (!facts["west"].is_null()) {
        west = facts["west"].as_double();
        south = facts["south"].as_double();
        east = facts["east"].as_double();
        north = facts["north"].as_double();
    }
    const nlohmann::json types =
        facts["field_types"].is_null()
            ? nlohmann::json::object()
            : host::parse_json<nlohmann::json>(facts["field_types"].text());
    nlohmann::ordered_json doc;
    doc["tilejson"] = "3.0.0";
    doc["name"] = layer_name;
    doc["scheme"] = "xyz";
    doc["tiles"] = {fmt::format("{}/gis/{}/{{z}}/{{x}}/{{y}}.pbf", origin, layer_name)};
    doc["minzoom"] = min_zoom;
    doc["maxzoom"] = MAX_ZOOM;
    doc["bounds"] = {west, south, east, north};
    doc["center"] = {(west + east) / 2, (south + north) / 2, fitting_zoom(west, east, min_zoom)};
    doc["vector_layers"] = {{{"id", layer_name},
                             {"fields", fields_of(layer, types)},
                             {"minzoom", min_zoom},
                             {"maxzoom", MAX_ZOOM}}};
    return doc;
}

}  // namespace

host::awaitable<host::http::Response> get_tilejson(const Service& service, std::string layer_name,
                                                   const host::http::Request& request,
                                                   host::database::Session& db) {
    const LayerConfig& layer = require_layer(layer_name);
    const host::http::PublicOrigin& public_origin = service.settings().public_origin;
    const std::string origin = public_origin.of(request);
    const std::string sql = layer_facts_sql(layer);
    std::optional<host::database::Row> facts;
    try {
        facts = co_await db_transaction(db,
                                        [&](host::database::Session& session)
                                            -> host::awaitable<std::optional<host::database::Row>> {
                                            auto result =
                                                co_await host::wait_for(session.execute(sql), 15.0);
                                            co_return result.first();
                                        });
    } catch (...) {
        const FailureAnswer failed{500, "Database error",
                                   "Error reading the extent of layer " + layer_name};
        answer_current_failure(
            service.logger(),
            {.timeout = {408, "Extent calculation timeout",
                         "Timeout reading the extent of layer " + layer_name, false},
             .database = failed,
             .other = failed});
    }
    if (!facts)
        throw host::http::HTTPException(500, "Internal server error");
    auto response = host::http::json_response(tilejson(origin, layer_name, layer, *facts));
    public_origin.add_vary(response);
    co_return response;
}

}  // namespace tileway
