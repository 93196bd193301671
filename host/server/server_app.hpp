#pragma once

#include "host/router.hpp"

#include <memory>

namespace kavara::server {

// The application of kavara-server: the deliverables loaded and their routes mounted, the API
// document, the site-plan routes. Throws when a deliverable fails to load.
std::unique_ptr<host::http::App> build_app();

}  // namespace kavara::server
