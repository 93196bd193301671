#pragma once

#include "host/http.hpp"
#include "tileway/service.hpp"

#include <optional>

namespace tileway {

// The guard of cache invalidation. With an admin token in the service's settings a request must
// carry "Authorization: Bearer <token>": the answer refusing it (401 with "WWW-Authenticate:
// Bearer" when it has no bearer credentials, 403 when they are another token), or null when it
// may go on. Without a token every request may go on. The token is never logged.
std::optional<host::http::Response> refuse_unless_admin(const Service& service,
                                                        const host::http::Request& request);

}  // namespace tileway
