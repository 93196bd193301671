#include "host/cors.hpp"

#include "text.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace host::http {
namespace {

bool well_formed_origin(std::string_view origin) {
    std::string_view rest;
    if (origin.starts_with("http://"))
        rest = origin.substr(7);
    else if (origin.starts_with("https://"))
        rest = origin.substr(8);
    else
        return false;
    return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

// A header value gets `token` appended to its list, or is added with it.
void add_to_list(Headers& headers, std::string_view name, std::string_view token) {
    for (auto& [key, value] : headers) {
        if (key == name) {
            value.append(", ").append(token);
            return;
        }
    }
    headers.emplace_back(std::string(name), std::string(token));
}

}  // namespace

CorsPolicy CorsPolicy::parse(std::string_view text) {
    CorsPolicy policy;
    std::string_view rest = text;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const auto item = detail::trim_blanks(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item.empty())
            continue;
        if (item == "*")
            policy.any_ = true;
        else if (well_formed_origin(item))
            policy.origins_.emplace_back(item);
        else
            throw std::invalid_argument("'" + std::string(item) +
                                        "' is not an origin (scheme://host[:port]) or *");
    }
    return policy;
}

bool CorsPolicy::allows(std::string_view origin) const {
    if (origin.empty())
        return false;
    return any_ || std::find(origins_.begin(), origins_.end(), origin) != origins_.end();
}

Response CorsPolicy::preflight(const Request& request,
                               const std::vector<std::string>& methods) const {
    const auto origin = request.header("origin");
    const auto method = request.header("access-control-request-method");
    if (!allows(origin) || std::find(methods.begin(), methods.end(), method) == methods.end())
        return error_response(403, "Cross-origin request not allowed");
    std::string allowed;
    for (const auto& m : methods)
        allowed.append(m).append(", ");
    allowed.append("OPTIONS");
    Response answer = empty_response(204);
    answer.headers = {{"Access-Control-Allow-Methods", allowed},
                      {"Access-Control-Allow-Headers", "Content-Type, If-None-Match"},
                      {"Access-Control-Max-Age", "600"}};
    decorate(request, answer);
    return answer;
}

void CorsPolicy::decorate(const Request& request, Response& response) const {
    const auto origin = request.header("origin");
    if (!allows(origin))
        return;
    response.headers.emplace_back("Access-Control-Allow-Origin",
                                  any_ ? std::string("*") : std::string(origin));
    response.headers.emplace_back("Access-Control-Expose-Headers", "ETag, X-Cache");
    if (!any_)
        add_to_list(response.headers, "Vary", "Origin");
}

}  // namespace host::http
