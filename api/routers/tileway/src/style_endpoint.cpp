#include "cadastre_style.hpp"
#include "endpoints.hpp"
#include "tileway/catalogue.hpp"

#include <fmt/format.h>

namespace tileway {

host::http::Response get_style(const Service& service, const host::http::Request& request) {
    static const nlohmann::ordered_json style_template =
        nlohmann::ordered_json::parse(cadastre_style_template);
    const host::http::PublicOrigin& public_origin = service.settings().public_origin;
    const std::string origin = public_origin.of(request);
    nlohmann::ordered_json style = style_template;
    // One vector source per layer, described by its TileJSON; no glyphs, since the server has
    // none to give, so the style draws no text.
    auto& sources = style["sources"];
    for (const auto& [name, layer] : LAYER_CONFIG) {
        sources[name] = {{"type", "vector"},
                         {"url", fmt::format("{}/gis/{}/tilejson.json", origin, name)}};
    }
    auto response = host::http::json_response(style);
    public_origin.add_vary(response);
    return response;
}

}  // namespace tileway
