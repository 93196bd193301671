#include "host/public_origin.hpp"

#include "text.hpp"

#include <boost/url/authority_view.hpp>
#include <boost/url/parse.hpp>

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace host::http {
namespace {

// The first item of a list-valued forwarding header: the hop nearest the client.
std::string_view first_item(std::string_view value) {
    return detail::trim_blanks(value.substr(0, value.find(',')));
}

bool is_port(std::string_view digits) {
    unsigned value = 0;
    const char* end = digits.data() + digits.size();
    auto [stop, ec] = std::from_chars(digits.data(), end, value);
    return !digits.empty() && ec == std::errc() && stop == end && value <= 65535;
}

// A non-empty reg-name, IPv4 address or bracketed IPv6 address, and an optional port: no user
// information, nothing that could end the authority of a URL built on it.
bool is_host_and_port(const boost::urls::authority_view& authority) {
    const auto type = authority.host_type();
    if (authority.has_userinfo() || type == boost::urls::host_type::none ||
        type == boost::urls::host_type::ipvfuture || authority.encoded_host().empty())
        return false;
    return !authority.has_port() || is_port(authority.port());
}

bool is_host_and_port(std::string_view text) {
    auto authority = boost::urls::parse_authority(text);
    return authority && is_host_and_port(*authority);
}

// The request's one Host header; a request naming two hosts is refused rather than guessed at.
std::string_view single_host(const Request& request) {
    const auto hosts = std::count_if(request.headers.begin(), request.headers.end(),
                                     [](const auto& field) { return field.first == "host"; });
    const std::string_view host = request.header("host");
    if (hosts != 1 || !is_host_and_port(host))
        throw HTTPException(400, "Invalid Host header");
    return host;
}

std::string fixed_origin(std::string_view text) {
    auto url = boost::urls::parse_absolute_uri(text);
    if (!url)
        throw std::invalid_argument("'" + std::string(text) + "' is not an absolute URL");
    const auto scheme = url->scheme_id();
    if (scheme != boost::urls::scheme::http && scheme != boost::urls::scheme::https)
        throw std::invalid_argument("'" + std::string(text) + "' is not an http or https URL");
    if (!url->has_authority() || !is_host_and_port(url->authority()))
        throw std::invalid_argument("'" + std::string(text) + "' does not name a host[:port]");
    if (url->has_query())
        throw std::invalid_argument("'" + std::string(text) + "' has a query");
    std::string_view path = url->encoded_path();
    while (path.ends_with('/'))
        path.remove_suffix(1);
    std::string origin(scheme == boost::urls::scheme::https ? "https" : "http");
    origin.append("://").append(url->encoded_authority()).append(path);
    return origin;
}

}  // namespace

PublicOrigin::PublicOrigin(std::string_view url) : fixed_(fixed_origin(url)) {}

std::string PublicOrigin::of(const Request& request) const {
    if (!fixed_.empty())
        return fixed_;
    std::string_view scheme = "http";
    std::string_view host = single_host(request);
    if (request.via_trusted_proxy) {
        if (auto proto = first_item(request.header("x-forwarded-proto"));
            proto == "http" || proto == "https")
            scheme = proto;
        if (auto forwarded = first_item(request.header("x-forwarded-host")); !forwarded.empty()) {
            if (!is_host_and_port(forwarded))
                throw HTTPException(400, "Invalid X-Forwarded-Host header");
            host = forwarded;
        }
    }
    std::string origin(scheme);
    origin.append("://").append(host);
    return origin;
}

void PublicOrigin::add_vary(Response& response) const {
    if (fixed_.empty())
        response.headers.emplace_back("Vary", "Host, X-Forwarded-Host, X-Forwarded-Proto");
}

}  // namespace host::http
