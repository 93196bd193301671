#pragma once

#include "host/router.hpp"

namespace site_plans {

// The site-plan routes under the prefix "/plots", each drawn off the event loop:
// POST /plots/site-plan: a plan from the records in the body;
// GET /plots/site-plan/{plot_id}, {plot_id}.png, {plot_id}.pdf: the plan of a stored plot, read
// from the database, as the JSON envelope, a PNG image or a PDF page.
host::http::Router router();

}  // namespace site_plans
