#pragma once

#include "host/router.hpp"
#include "tileway/service.hpp"

#include <memory>

namespace tileway {

// The router the host mounts: prefix "/gis", tag "GIS Tiles", the seven routes of the service in
// their fixed order, then the stream of changes (GET /gis/changes). Every handler keeps `service`
// alive.
host::http::Router make_router(std::shared_ptr<const Service> service);

}  // namespace tileway
