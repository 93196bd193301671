#include "site_plans/routes.hpp"

#include "host/database.hpp"
#include "host/metrics.hpp"

#include "plan_rate_limit.hpp"
#include "site_plans/plan_budget.hpp"
#include "site_plans/plot_records.hpp"

#include "host/responses.hpp"
#include "host/runtime.hpp"

#include <plots/errors.hpp>
#include <plots/paper.hpp>
#include <plots/plan_request.hpp>
#include <plots/plot.hpp>
#include <plots/render.hpp>

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace site_plans {
namespace {

using plots::DEFAULT_PAPER;
using plots::Json;

// The two statements take milliseconds; a database that cannot answer within this (a lock held
// on the plot tables, an overloaded server) is reported instead of holding the request open.
constexpr auto kRecordsTimeLimit = std::chrono::seconds(5);

// Bad input named by the renderer's checks, which the client can correct.
template <typename Check>
auto unprocessable_unless(Check check) {
    try {
        return check();
    } catch (const plots::InputError& e) {
        throw host::http::HTTPException(422, e.what());
    }
}

// ---- drawing off the event loop -----------------------------------------------------------

// What every plan route shares: the client's rate and the memory of the plans in flight.
struct Gate {
    PlanRateLimit rate;
    std::shared_ptr<PlanBudget> budget;
};
using GatePtr = std::shared_ptr<const Gate>;

// How the file of an answer is held: once for a PNG or PDF file, a few times over in a JSON
// envelope (the PNG, its base64 text and the serialised body).
enum class Carried { as_file, in_json };

std::size_t plan_bytes(const plots::Paper& paper, Carried carried) {
    const plots::PlanMemory memory = plots::png_memory(paper);
    return memory.drawing + memory.file * (carried == Carried::in_json ? 4 : 1);
}

host::http::Response budget_full(const PlanBudget& budget) {
    auto response =
        host::http::error_response(503, "Too many site plans are being drawn; try again shortly.");
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(budget.limits().max_wait).count();
    response.headers.emplace_back("Retry-After",
                                  std::to_string(std::max<long long>(1, seconds / 4)));
    return response;
}

// Runs `draw` (a coroutine giving the answer) once the plan fits in the memory budget; 503 when
// it does not in time.
template <typename Draw>
host::awaitable<host::http::Response> within_budget(const Gate& gate, std::size_t bytes,
                                                    Draw draw) {
    auto lease = co_await gate.budget->admit(bytes);
    if (!lease)
        co_return budget_full(*gate.budget);
    co_return co_await draw();
}

// Runs one renderer call on the blocking pool; its errors become the answers they stand for.
template <typename Draw>
auto draw_off_loop(Draw draw) -> host::awaitable<std::invoke_result_t<Draw&>> {
    try {
        co_return co_await host::run_blocking(std::move(draw));
    } catch (const plots::ValueError& e) {
        throw host::http::HTTPException(404, e.what());
    } catch (const plots::InputError& e) {
        throw host::http::HTTPException(422, e.what());
    } catch (const Json::exception& e) {
        throw host::http::HTTPException(422, std::string("Malformed record: ") + e.what());
    }
}

Json plan_data(const plots::PlotResult& result, const Json& paper_size) {
    Json data;
    data["image64"] = result.image64;
    data["paper_size"] = paper_size;
    data["scale"] = result.scale;
    data["schedule"] = result.schedule;
    return data;
}

const host::metrics::Family kPlansDrawn{"kavara_plans_drawn_total", host::metrics::Kind::counter,
                                        "Site plans drawn, by what was sent."};

void count_plan(std::string_view format) {
    host::metrics::add(kPlansDrawn, {{"format", format}});
}

host::http::Response plan_envelope(const plots::PlotResult& result, const Json& paper_size) {
    count_plan("json");
    return host::api_router_response(host::api_response({.data = plan_data(result, paper_size)}));
}

// ---- POST /plots/site-plan: records in the body -------------------------------------------

host::awaitable<host::http::Response> site_plan(const Gate& gate, host::http::Call& call) {
    co_await gate.rate.enforce(call.request());
    std::string_view body = call.request().body;
    plots::PlanRequest request =
        unprocessable_unless([body] { return plots::parse_plan_request(body); });
    const plots::Paper paper{request.options.max_width_mm, request.options.max_height_mm};
    co_return co_await within_budget(
        gate, plan_bytes(paper, Carried::in_json),
        [&request]() -> host::awaitable<host::http::Response> {
            auto result = co_await draw_off_loop([&request] {
                return plots::generate_plot(request.parcel_data, request.selected_parcel_number,
                                            request.road_data, request.options);
            });
            co_return plan_envelope(result, request.paper_size);
        });
}

// ---- GET /plots/site-plan/{plot_id}[.png|.pdf]: records from the database ------------------

// A plan of a stored plot, read on the event loop and ready to draw.
struct StoredPlan {
    std::int64_t plot_id = 0;
    plots::Paper paper;
    PlotRecords records;

    plots::Options options() const {
        return {.columnname = std::string(plot_id_key),
                .max_width_mm = paper.width_mm,
                .max_height_mm = paper.height_mm};
    }
    plots::Plan compose() const {
        return plots::compose_plot(records.parcel_data, Json(plot_id), records.road_data,
                                   options());
    }
};

host::awaitable<StoredPlan> stored_plan(host::http::Call& call) {
    StoredPlan plan;
    plan.plot_id = call.integer("plot_id");
    plan.paper = unprocessable_unless([&call] {
        return plots::Paper{plots::checked_paper_mm("max_width_mm", call.real("max_width_mm")),
                            plots::checked_paper_mm("max_height_mm", call.real("max_height_mm"))};
    });
    std::optional<PlotRecords> records;
    try {
        records = co_await host::wait_for(load_plot_records(call.db(), plan.plot_id, plan.paper),
                                          kRecordsTimeLimit);
    } catch (const host::TimeoutError&) {
        host::metrics::count_postgresql_error("timeout");
        throw host::http::HTTPException(
            503, fmt::format("The records of plot {} could not be read within {} s; try again",
                             plan.plot_id, kRecordsTimeLimit.count()));
    } catch (const host::database::DatabaseError&) {
        host::metrics::count_postgresql_error("statement");
        throw;
    }
    // The connection goes back to the pool now rather than idling in its transaction while the
    // plan is drawn.
    co_await call.db().close();
    if (!records)
        throw host::http::HTTPException(404, fmt::format("No plot with ID {}", plan.plot_id));
    plan.records = std::move(*records);
    co_return plan;
}

// "site-plan-SA-01_7.pdf": the plot number with characters that could break the header or a
// file system replaced, or the ID when the plot has no number.
std::string file_name(const StoredPlan& plan, std::string_view extension) {
    std::string name = plan.records.plot_no;
    for (char& c : name) {
        bool safe = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
        if (!safe)
            c = '_';
    }
    if (name.empty())
        name = std::to_string(plan.plot_id);
    return fmt::format("site-plan-{}.{}", name, extension);
}

host::http::Response plan_file(std::string bytes, const char* media_type, const StoredPlan& plan,
                               std::string_view extension) {
    host::http::Headers headers{{"Content-Disposition", fmt::format("inline; filename=\"{}\"",
                                                                    file_name(plan, extension))}};
    return host::http::raw_response(host::Bytes(std::move(bytes)), media_type, std::move(headers));
}

host::awaitable<host::http::Response> stored_site_plan(const Gate& gate, host::http::Call& call) {
    co_await gate.rate.enforce(call.request());
    StoredPlan plan = co_await stored_plan(call);
    co_return co_await within_budget(
        gate, plan_bytes(plan.paper, Carried::in_json),
        [&plan]() -> host::awaitable<host::http::Response> {
            auto result = co_await draw_off_loop([&plan] {
                return plots::generate_plot(plan.records.parcel_data, Json(plan.plot_id),
                                            plan.records.road_data, plan.options());
            });
            co_return plan_envelope(result, plots::paper_size(plan.paper));
        });
}

host::awaitable<host::http::Response> stored_site_plan_png(const Gate& gate,
                                                           host::http::Call& call) {
    co_await gate.rate.enforce(call.request());
    StoredPlan plan = co_await stored_plan(call);
    co_return co_await within_budget(
        gate, plan_bytes(plan.paper, Carried::as_file),
        [&plan]() -> host::awaitable<host::http::Response> {
            auto png = co_await draw_off_loop(
                [&plan] { return plots::encode_png(plan.compose().figure); });
            count_plan("png");
            co_return plan_file(std::move(png), "image/png", plan, "png");
        });
}

// A PDF page holds vector paths, not pixels: only its rate is limited.
host::awaitable<host::http::Response> stored_site_plan_pdf(const Gate& gate,
                                                           host::http::Call& call) {
    co_await gate.rate.enforce(call.request());
    StoredPlan plan = co_await stored_plan(call);
    auto pdf = co_await draw_off_loop([&plan] { return plots::render_pdf(plan.compose().figure); });
    count_plan("pdf");
    co_return plan_file(std::move(pdf), "application/pdf", plan, "pdf");
}

using GatedHandler = host::awaitable<host::http::Response> (*)(const Gate&, host::http::Call&);

host::http::Handler gated(GatePtr gate, GatedHandler handler) {
    return
        [gate = std::move(gate), handler](host::http::Call& call) { return handler(*gate, call); };
}

std::vector<host::http::Param> stored_plan_params() {
    using host::http::ParamIn;
    using host::http::ParamType;
    return {{.name = "plot_id",
             .in = ParamIn::path,
             .type = ParamType::integer,
             .description = "\"ID\" of the plot in \"GIS\".\"PLOT\""},
            {.name = "max_width_mm",
             .type = ParamType::real,
             .default_value = DEFAULT_PAPER.width_mm,
             .description = "Paper width in millimetres, at least 10 and at most 1189 (A0)"},
            {.name = "max_height_mm",
             .type = ParamType::real,
             .default_value = DEFAULT_PAPER.height_mm,
             .description = "Paper height in millimetres, at least 10 and at most 1189 (A0)"}};
}

host::http::Route stored_plan_route(std::string path, std::string name, std::string description,
                                    host::http::ResponseKind response,
                                    host::http::Handler handler) {
    return {.method = "GET",
            .path = std::move(path),
            .name = std::move(name),
            .description = std::move(description),
            .response = response,
            .params = stored_plan_params(),
            .uses_db = true,
            .handler = std::move(handler),
            .cross_origin = true};
}

}  // namespace

host::http::Router router(PlanLimits limits) {
    using host::http::ResponseKind;
    auto gate = std::make_shared<const Gate>(
        Gate{.rate = PlanRateLimit(std::move(limits.redis), limits.plans_per_second),
             .budget = PlanBudget::make({.budget_bytes = limits.memory_bytes,
                                         .max_waiting = limits.max_waiting,
                                         .max_wait = limits.max_wait})});
    host::http::Router routes("/plots");
    routes.add({.method = "POST",
                .path = "/site-plan",
                .name = "site_plan",
                .description = "Draw the site plan of one parcel from the parcel, road and beacon "
                               "records in the body; answers the base64 PNG, paper size, scale and "
                               "schedule of short legs.",
                .handler = gated(gate, site_plan),
                .cross_origin = true});
    const std::string from_database =
        " of a stored plot, with its neighbours and the roads in the plan's window and its "
        "boundary beacons annotated with the grid bearing and distance of every leg";
    routes.add(stored_plan_route(
        "/site-plan/{plot_id}", "stored_site_plan",
        "The site plan" + from_database +
            "; answers the base64 PNG, paper size, scale and schedule of short legs.",
        ResponseKind::json, gated(gate, stored_site_plan)));
    routes.add(stored_plan_route("/site-plan/{plot_id}.png", "stored_site_plan_png",
                                 "The site plan" + from_database + ", as a 300 dpi PNG image.",
                                 ResponseKind::raw, gated(gate, stored_site_plan_png)));
    routes.add(stored_plan_route(
        "/site-plan/{plot_id}.pdf", "stored_site_plan_pdf",
        "The site plan" + from_database +
            ", as a one-page vector PDF of the paper's size, true to scale when printed at 100 %.",
        ResponseKind::raw, gated(gate, stored_site_plan_pdf)));
    return routes;
}

}  // namespace site_plans
