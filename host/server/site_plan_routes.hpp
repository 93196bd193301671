#pragma once

#include "host/router.hpp"

namespace kavara::server {

// The site-plan routes, each drawn off the event loop:
// POST /plots/site-plan: a plan from the records in the body;
// GET /plots/site-plan/{plot_id}, {plot_id}.png, {plot_id}.pdf: the plan of a stored plot, read
// from the database, as the JSON envelope, a PNG image or a PDF page.
void add_site_plan_routes(host::http::App& app);

}  // namespace kavara::server
