#pragma once

#include "host/router.hpp"

namespace tileway {

// Registers the seven routes of the service, in their fixed order.
void register_routes(host::http::Router& router);

}  // namespace tileway
