#include "host/http.hpp"

#include "text.hpp"

#include <algorithm>
#include <cctype>

namespace host::http {
namespace {

// The first item of a list-valued forwarding header: the hop nearest the client.
std::string_view first_item(std::string_view value) {
    return detail::trim_blanks(value.substr(0, value.find(',')));
}

// Names, IPv4 and bracketed IPv6 addresses, with a port: nothing that could end the URL's
// authority or start a path.
bool plausible_host(std::string_view host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']' ||
               c == '_';
    });
}

}  // namespace

std::string public_origin(const Request& request) {
    std::string_view scheme = "http";
    std::string_view host = request.header("host");
    if (request.via_trusted_proxy) {
        if (auto proto = first_item(request.header("x-forwarded-proto"));
            proto == "http" || proto == "https")
            scheme = proto;
        if (auto forwarded = first_item(request.header("x-forwarded-host")); !forwarded.empty())
            host = forwarded;
    }
    if (!plausible_host(host))
        throw HTTPException(400, "Invalid Host header");
    std::string origin(scheme);
    origin.append("://").append(host);
    return origin;
}

}  // namespace host::http
