#pragma once

#include "host/http.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::http {

// Which other origins' pages may read the answers of the routes that allow it: none (the
// default, no CORS headers at all), every origin ("*"), or a list of exact origins.
class CorsPolicy {
  public:
    CorsPolicy() = default;
    // "*" or comma-separated origins ("https://a.example, http://localhost:3000"); throws
    // std::invalid_argument naming the first entry that is not "scheme://host[:port]".
    static CorsPolicy parse(std::string_view text);

    bool enabled() const noexcept { return any_ || !origins_.empty(); }
    bool allows(std::string_view origin) const;

    // The answer to an OPTIONS preflight of a route allowing `methods`: 204 with the allowed
    // method and headers, or 403 when the origin or the method asked for is not allowed.
    Response preflight(const Request& request, const std::vector<std::string>& methods) const;
    // Adds the CORS headers to the answer of an allowed origin's request.
    void decorate(const Request& request, Response& response) const;

  private:
    bool any_ = false;
    std::vector<std::string> origins_;
};

}  // namespace host::http
