#pragma once

#include "host/bytes.hpp"

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace host::http {

using Headers = std::vector<std::pair<std::string, std::string>>;

// One parsed HTTP request as the handlers see it.
struct Request {
    std::string method;  // "GET", "POST", ...
    std::string target;  // path and query as received
    std::string path;    // path as received (percent-encoded), without the query
    std::string query;   // raw query string, without '?'
    Headers headers;     // field names lower-cased
    std::string body;
    std::optional<std::string> client_host;  // absent when the transport gives no peer
    // The peer is a trusted proxy, so its X-Forwarded-* headers are believed.
    bool via_trusted_proxy = false;

    // The first header of that name (case-insensitive), or empty.
    std::string_view header(std::string_view name) const;
};

// Writes one piece of a streamed body; false once the client has gone (or stopped reading for
// the server's write time limit), after which nothing more reaches it.
using StreamWriter = std::function<boost::asio::awaitable<bool>(std::string_view piece)>;
// Produces a streamed body for as long as it runs. It is cancelled when the client closes the
// connection or the server stops, so it may wait for its next piece without a time limit.
using StreamBody = std::function<boost::asio::awaitable<void>(const StreamWriter& write)>;

// An answer: status, body bytes, media type and extra headers. The body is shared, not copied.
// With `stream` set the body is not sent: after the header block the connection carries what
// the function writes, without a length, and closes when it returns; no idle or keep-alive
// limit applies to it meanwhile, only the time limit of each write.
struct Response {
    unsigned status = 200;
    Bytes body;
    std::string media_type;
    Headers headers;
    StreamBody stream = {};

    std::string_view header(std::string_view name) const;
};

// Ends a handler with an HTTP error answered as {"detail": "..."}.
class HTTPException : public std::runtime_error {
  public:
    HTTPException(unsigned status, std::string detail)
        : std::runtime_error(detail), status_(status), detail_(std::move(detail)) {}
    unsigned status() const noexcept { return status_; }
    const std::string& detail() const noexcept { return detail_; }

  private:
    unsigned status_;
    std::string detail_;
};

Response raw_response(Bytes body, std::string media_type, Headers headers = {},
                      unsigned status = 200);
// Serialises `body` with its key order kept.
Response json_response(const nlohmann::ordered_json& body, unsigned status = 200);
Response empty_response(unsigned status);
Response error_response(unsigned status, std::string_view detail);

std::string_view reason_phrase(unsigned status);

}  // namespace host::http
