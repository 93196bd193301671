#include "endpoints.hpp"
#include "host/responses.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/tile_grid.hpp"
#include "tileway/zoom_config.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

const char* simplification(int tolerance) {
    if (tolerance > 500)
        return "heavy";
    if (tolerance > 100)
        return "moderate";
    if (tolerance > 0)
        return "light";
    return "none";
}

nlohmann::ordered_json layer_entry(const std::string& name, const LayerConfig& config) {
    nlohmann::ordered_json entry;
    entry["name"] = name;
    entry["min_zoom"] = config.min_zoom_or_zero();
    entry["properties"] = config.properties;
    entry["table"] = config.table;
    entry["endpoints"] = {{"xyz", "/gis/" + name + "/{z}/{x}/{y}.pbf"},
                          {"bbox", "/gis/" + name + "/bbox/"},
                          {"info", "/gis/" + name + "/"},
                          {"zoom_info", "/gis/" + name + "/zoom-info/"}};
    return entry;
}

}  // namespace

host::http::Response get_layer_zoom_info(const std::string& layer_name) {
    const LayerConfig& layer = require_layer(layer_name);

    nlohmann::ordered_json zoom_info = nlohmann::ordered_json::object();
    for (int zoom = 1; zoom <= MAX_ZOOM; ++zoom) {
        auto config = get_zoom_config(zoom, layer_name);
        nlohmann::ordered_json entry;
        if (config) {
            entry["available"] = true;
            entry["tolerance"] = config->tolerance;
            entry["feature_limit"] = config->feature_limit;
            entry["simplification"] = simplification(config->tolerance);
        } else {
            entry["available"] = false;
        }
        zoom_info[std::to_string(zoom)] = std::move(entry);
    }
    nlohmann::ordered_json data;
    data["layer"] = layer_name;
    data["min_zoom"] = layer.min_zoom_or_zero();
    data["zoom_levels"] = std::move(zoom_info);
    data["recommendations"] = {{"world_view", "Use 'lgas' or 'districts' for zoom 1-6"},
                               {"regional_view", "Use 'cadzones' for zoom 4-10"},
                               {"detailed_view", "Use 'plots' for zoom 8+"},
                               {"precise_view", "Use 'beacons' for zoom 12+"}};
    return host::api_router_response(host::api_response({.data = std::move(data)}));
}

host::http::Response get_available_layers() {
    nlohmann::ordered_json layers_info = nlohmann::ordered_json::object();
    for (const auto& [name, config] : LAYER_CONFIG)
        layers_info[name] = layer_entry(name, config);
    nlohmann::ordered_json data;
    data["layers"] = layers_info;
    data["total_layers"] = layers_info.size();
    data["usage_guide"] = {{"world_zoom_1_4", "Use 'lgas' layer"},
                           {"country_zoom_5_7", "Use 'districts' or 'lgas' layer"},
                           {"regional_zoom_6_10", "Use 'cadzones' layer"},
                           {"local_zoom_8_14", "Use 'plots' layer"},
                           {"detail_zoom_12_20", "Use 'beacons' layer"}};
    return host::api_router_response(host::api_response({.data = std::move(data)}));
}

}  // namespace tileway
