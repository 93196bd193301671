#pragma once

#include "host/http.hpp"

#include <string>
#include <string_view>

namespace host::http {

// Where the URLs the server hands out (tile templates, style sources) point. With the server's
// public URL configured, every such URL starts with it whatever a request says. Without one,
// they follow the origin the client reached: the Host header, or X-Forwarded-Host and
// X-Forwarded-Proto when a trusted proxy sent them, each checked to be a single host[:port].
class PublicOrigin {
  public:
    // Follows each request.
    PublicOrigin() = default;
    // Always `url`: http or https, a host with an optional port and path prefix, no user
    // information, query or fragment; trailing slashes are dropped. Throws std::invalid_argument
    // for anything else.
    explicit PublicOrigin(std::string_view url);

    // "scheme://host[:port][/prefix]" for the URLs of the answer to `request`. Throws
    // HTTPException 400 when it follows the request and the Host header is missing, repeated or
    // not a host[:port], or a trusted proxy's X-Forwarded-Host is not one.
    std::string of(const Request& request) const;

    // Marks an answer holding URLs made by of() as depending on the headers they came from, so
    // that a shared cache keeps one answer per origin; no change when the origin is fixed.
    void add_vary(Response& response) const;

  private:
    std::string fixed_;
};

}  // namespace host::http
