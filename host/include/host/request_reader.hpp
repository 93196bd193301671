#pragma once

#include "host/http.hpp"
#include "host/server.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host::http {

// What the server makes of the bytes a peer sent before closing its side: the first request as
// the handlers see it (client address included), or the status the server answers bytes that
// are no request with before it closes (400, 413, 431). Neither when the bytes end before a
// request begins. `used` is how much of the bytes the request took; a kept-alive connection
// reads the next request from there.
struct ReadOutcome {
    std::optional<Request> request;
    unsigned refusal = 0;
    bool keep_alive = false;
    std::size_t used = 0;
};

ReadOutcome read_request(std::string_view bytes, const std::string& peer,
                         const ServerOptions& options);

}  // namespace host::http
