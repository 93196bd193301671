#pragma once

#include "host/router.hpp"

namespace kavara::server {

// POST /plots/site-plan: a site plan from the records in the body, drawn off the event loop.
void add_site_plan_routes(host::http::App& app);

}  // namespace kavara::server
