#include "host/negotiation.hpp"

#include "text.hpp"

#include <charconv>

namespace host::http {

using detail::trim_blanks;

bool accepts_gzip(const Request& request) {
    std::string_view rest = request.header("accept-encoding");
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        const auto semicolon = item.find(';');
        std::string_view coding = trim_blanks(item.substr(0, semicolon));
        if (coding != "gzip" && coding != "*")
            continue;
        if (semicolon == std::string_view::npos)
            return true;
        std::string_view parameter = trim_blanks(item.substr(semicolon + 1));
        if (!parameter.starts_with("q="))
            return true;
        parameter.remove_prefix(2);
        double weight = 0;
        auto [end, ec] =
            std::from_chars(parameter.data(), parameter.data() + parameter.size(), weight);
        return ec == std::errc() && weight > 0;
    }
    return false;
}

bool matches_entity_tag(std::string_view if_none_match, std::string_view tag) {
    if (trim_blanks(if_none_match) == "*")
        return true;
    std::size_t start = 0;
    while (start < if_none_match.size()) {
        std::size_t end = if_none_match.find(',', start);
        if (end == std::string_view::npos)
            end = if_none_match.size();
        std::string_view candidate = trim_blanks(if_none_match.substr(start, end - start));
        if (candidate.starts_with("W/"))
            candidate.remove_prefix(2);
        if (candidate == tag)
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace host::http
