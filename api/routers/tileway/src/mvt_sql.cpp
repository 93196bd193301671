#include "tileway/mvt_sql.hpp"

#include "tileway/catalogue.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

namespace tileway {
namespace {

std::string join(const std::vector<std::string>& items, std::string_view separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i)
            out += separator;
        out += items[i];
    }
    return out;
}

std::string spatial_filter(const std::string& geom_col, std::optional<int> zoom) {
    if (zoom && *zoom <= 6)
        return fmt::format("{} && {}", geom_col, kTileEnvelope);
    return fmt::format("\n        {0} && {1}\n        AND ST_Intersects({0}, {1})\n        ",
                       geom_col, kTileEnvelope);
}

}  // namespace

std::string mvt_select_sql(std::string_view layer_name, const LayerConfig& layer,
                           const MvtSelect& parts) {
    return fmt::format(
        "\n"
        "    SELECT ST_AsMVT(mvt_data, '{layer_name}', 4096, 'mvt_geom') AS mvt\n"
        "    FROM (\n"
        "        SELECT {properties},\n"
        "            {id_col} AS feature_id,\n"
        "            ST_AsMVTGeom(\n"
        "                {geom_expr},\n"
        "                {envelope},\n"
        "                4096,\n"
        "                {buffer},\n"
        "                true\n"
        "            ) AS mvt_geom\n"
        "        FROM {table}\n"
        "        WHERE {spatial_filter}\n"
        "        ORDER BY ST_Area({geom_col}) DESC\n"
        "        LIMIT {limit}\n"
        "    ) AS mvt_data\n"
        "    WHERE mvt_data.mvt_geom IS NOT NULL{end}\n"
        "    ",
        fmt::arg("layer_name", layer_name), fmt::arg("properties", join(layer.properties, ", ")),
        fmt::arg("id_col", layer.id_col), fmt::arg("geom_expr", parts.geom_expr),
        fmt::arg("envelope", kTileEnvelope), fmt::arg("buffer", parts.buffer),
        fmt::arg("table", layer.table), fmt::arg("spatial_filter", parts.spatial_filter),
        fmt::arg("geom_col", layer.geom_col), fmt::arg("limit", parts.limit),
        fmt::arg("end", parts.end));
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

std::pair<std::string, ZoomConfig> generate_mvt_sql(std::string_view layer_name,
                                                    std::optional<int> zoom) {
    const LayerConfig* layer = LAYER_CONFIG.find(layer_name);
    if (!layer)
        throw ValueError(fmt::format("Unknown layer: {}", layer_name));
    const int band_zoom = zoom && *zoom != 0 ? *zoom : 10;
    auto config = get_zoom_config(band_zoom, layer_name);
    if (!config) {
        throw ValueError(fmt::format("Layer {} not available at zoom level {}", layer_name,
                                     zoom ? fmt::to_string(*zoom) : std::string("None")));
    }
    const int feature_limit = std::min(config->feature_limit, MAX_FEATURES_GLOBAL);
    const std::string geom_expr =
        config->tolerance > 0
            ? fmt::format("ST_SimplifyPreserveTopology({}, {})", layer->geom_col, config->tolerance)
            : layer->geom_col;
    std::string sql = mvt_select_sql(layer_name, *layer,
                                     {.geom_expr = geom_expr,
                                      .buffer = std::to_string(config->buffer),
                                      .spatial_filter = spatial_filter(layer->geom_col, zoom),
                                      .limit = std::to_string(feature_limit),
                                      .end = ";"});
    return {std::move(sql), *config};
}

const std::pair<std::string, ZoomConfig>& mvt_sql_for_tile(std::string_view layer_name, int zoom) {
    // Built at first use under a lock; afterwards only read. Failures are not cached, so the
    // caller sees the same ValueError every time.
    static std::mutex mutex;
    static std::map<std::pair<std::string, int>, std::pair<std::string, ZoomConfig>, std::less<>>
        statements;
    std::lock_guard lock(mutex);
    auto key = std::make_pair(std::string(layer_name), zoom);
    if (auto it = statements.find(key); it != statements.end())
        return it->second;
    auto [it, inserted] = statements.emplace(std::move(key), generate_mvt_sql(layer_name, zoom));
    (void)inserted;
    return it->second;
}

}  // namespace tileway
