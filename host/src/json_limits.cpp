#include "host/json_limits.hpp"

#include <fmt/format.h>

namespace host {

JsonTooDeep::JsonTooDeep(std::size_t max_depth)
    : std::invalid_argument(
          fmt::format("The JSON nests arrays and objects deeper than {} levels", max_depth)) {}

bool json_nests_within(std::string_view text, std::size_t max_depth) noexcept {
    std::size_t depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;  // an escaped quote does not end the string
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > max_depth)
                return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

}  // namespace host
