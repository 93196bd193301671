#pragma once

#include "host/redis.hpp"
#include "host/router.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace site_plans {

// What bounds the plans one server process draws.
struct PlanLimits {
    // The memory the plans being drawn may hold together (KAVARA_PLAN_MEMORY_MB); plans beyond
    // it wait, and are answered 503 with Retry-After when the queue is full or their wait runs
    // out.
    std::size_t memory_bytes = std::size_t{192} << 20;
    std::size_t max_waiting = 16;
    std::chrono::milliseconds max_wait{20'000};
    // Plans per client and second, counted in Redis; no client counts nothing.
    std::shared_ptr<host::redis::Client> redis;
    std::int64_t plans_per_second = 2;
};

// The site-plan routes under the prefix "/plots", each drawn off the event loop:
// POST /plots/site-plan: a plan from the records in the body;
// GET /plots/site-plan/{plot_id}, {plot_id}.png, {plot_id}.pdf: the plan of a stored plot, read
// from the database, as the JSON envelope, a PNG image or a PDF page.
host::http::Router router(PlanLimits limits = {});

}  // namespace site_plans
