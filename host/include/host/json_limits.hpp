#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace host {

// How deep arrays and objects may nest in any JSON the server reads. A plan request reaches
// eight levels (body, parcel list, record, geometry, coordinates, polygon, ring, point); copying,
// comparing or printing a value recurses once per level, so a client must not choose the depth.
inline constexpr std::size_t MAX_JSON_DEPTH = 64;

// JSON text whose arrays and objects nest deeper than the reader allows.
class JsonTooDeep : public std::invalid_argument {
  public:
    explicit JsonTooDeep(std::size_t max_depth);
};

// Whether no array or object in `text` lies more than `max_depth` levels deep (the outermost
// value is level 1). One pass over the bytes that steps over strings, without building anything
// or checking that the text is JSON: up to its first syntax error, text nests as counted here.
bool json_nests_within(std::string_view text, std::size_t max_depth = MAX_JSON_DEPTH) noexcept;

// `text` parsed as `Json` (nlohmann::json or ordered_json) once json_nests_within holds:
// JsonTooDeep when it does not, nlohmann's parse_error when the text is not JSON.
template <typename Json>
Json parse_json(std::string_view text, std::size_t max_depth = MAX_JSON_DEPTH) {
    if (!json_nests_within(text, max_depth))
        throw JsonTooDeep(max_depth);
    return Json::parse(text);
}

}  // namespace host
