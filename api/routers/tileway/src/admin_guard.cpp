#include "admin_guard.hpp"

#include <cctype>
#include <string_view>

namespace tileway {
namespace {

// The credentials of "Authorization: Bearer <token>" (the scheme in any case, blanks around the
// token dropped), or null when the request has no such header.
std::optional<std::string_view> bearer_credentials(const host::http::Request& request) {
    constexpr std::string_view scheme = "bearer";
    std::string_view value = request.header("authorization");
    if (value.size() <= scheme.size() || value[scheme.size()] != ' ')
        return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(value[i])) != scheme[i])
            return std::nullopt;
    value.remove_prefix(scheme.size());
    const auto first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return std::nullopt;
    return value.substr(first, value.find_last_not_of(" \t") - first + 1);
}

// Whether `presented` is `expected`, in a time that depends on the length of `presented` only,
// never on where the two differ. `expected` must not be empty.
bool same_token(std::string_view presented, std::string_view expected) noexcept {
    unsigned differences = presented.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < presented.size(); ++i)
        differences |= static_cast<unsigned char>(presented[i] ^ expected[i % expected.size()]);
    return differences == 0;
}

}  // namespace

std::optional<host::http::Response> refuse_unless_admin(const Service& service,
                                                        const host::http::Request& request) {
    const auto& token = service.settings().admin_token;
    if (!token || token->empty())
        return std::nullopt;
    const auto credentials = bearer_credentials(request);
    if (!credentials) {
        auto refused = host::http::error_response(401, "Admin token required");
        refused.headers.emplace_back("WWW-Authenticate", "Bearer");
        return refused;
    }
    if (!same_token(*credentials, *token))
        return host::http::error_response(403, "Invalid admin token");
    return std::nullopt;
}

}  // namespace tileway
