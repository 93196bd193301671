#include "cadastre_style.hpp"
#include "endpoints.hpp"
#include "tileway/catalogue.hpp"

#include <fmt/format.h>

namespace tileway {

host::http::Response get_style(const host::http::Request& request) {
    static const nlohmann::ordered_json style_template =
        nlohmann::ordered_json::parse(cadastre_style_template);
    const std::string origin = host::http::public_origin(request);
    nlohmann::ordered_json style = style_template;
    // One vector source per layer, described by its TileJSON; no glyphs, since the server has
    // none to give, so the style draws no text.
    auto& sources = style["sources"];
    for (const auto& [name, layer] : LAYER_CONFIG) {
        sources[name] = {{"type", "vector"},
                         {"url", fmt::format("{}/gis/{}/tilejson.json", origin, name)}};
    }
    return host::http::json_response(style);
}

}  // namespace tileway
