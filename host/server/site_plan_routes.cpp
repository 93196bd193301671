#include "site_plan_routes.hpp"

#include "plot_records.hpp"

#include "host/responses.hpp"
#include "host/runtime.hpp"

#include <plots/errors.hpp>
#include <plots/plot.hpp>
#include <plots/render.hpp>

#include <fmt/format.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace kavara::server {
namespace {

using plots::Json;

// Paper larger than A0 would only make the renderer allocate huge surfaces.
constexpr double kLargestPaperMm = 1189.0;
constexpr Paper kDefaultPaper;
// The two statements take milliseconds; a database that cannot answer within this (a lock held
// on the plot tables, an overloaded server) is reported instead of holding the request open.
constexpr auto kRecordsTimeLimit = std::chrono::seconds(5);

[[noreturn]] void reject(const std::string& message) {
    throw host::http::HTTPException(422, message);
}

// The one check of a paper side, for the body of the POST route and the query of the GET
// routes alike.
double checked_paper_mm(std::string_view name, double value) {
    if (!(value > 0 && value <= kLargestPaperMm))
        reject(fmt::format("\"{}\" must be above 0 and at most 1189 mm (A0)", name));
    return value;
}

// Whole millimetres as integers, as the POST route echoes a paper size written as 190.
Json paper_number(double mm) {
    if (mm == std::floor(mm))
        return static_cast<std::int64_t>(mm);
    return mm;
}

// ---- drawing off the event loop -----------------------------------------------------------

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

host::http::Response plan_envelope(const plots::PlotResult& result, const Json& paper_size) {
    return host::api_router_response(host::api_response({.data = plan_data(result, paper_size)}));
}

// ---- POST /plots/site-plan: records in the body -------------------------------------------

struct PlanRequest {
    Json parcel_data;
    Json selected_parcel_number;
    Json road_data;
    plots::Options options;
    Json paper_size;  // as the caller wrote it, so 190 stays 190
};

double paper_dimension(const Json& body, const char* key, double fallback) {
    auto it = body.find(key);
    if (it == body.end())
        return fallback;
    if (!it->is_number())
        reject(std::string("\"") + key + "\" must be a number of millimetres");
    return checked_paper_mm(key, it->get<double>());
}

PlanRequest parse_plan_request(const std::string& text) {
    Json body = Json::parse(text, nullptr, false);
    if (body.is_discarded())
        reject("The body is not valid JSON");
    if (!body.is_object())
        reject("The body must be a JSON object");
    for (const char* key : {"parcel_data", "selected_parcel_number", "road_data"})
        if (!body.contains(key))
            reject(std::string("Missing \"") + key + "\"");
    if (!body["parcel_data"].is_array())
        reject("\"parcel_data\" must be a list of parcel records");
    if (!body["road_data"].is_null() && !body["road_data"].is_array())
        reject("\"road_data\" must be a list of road records or null");
    PlanRequest request;
    request.parcel_data = body["parcel_data"];
    request.selected_parcel_number = body["selected_parcel_number"];
    request.road_data = body["road_data"];
    if (auto it = body.find("columnname"); it != body.end()) {
        if (!it->is_string())
            reject("\"columnname\" must be text");
        request.options.columnname = it->get<std::string>();
    }
    if (auto it = body.find("bounding_box"); it != body.end())
        request.options.bounding_box = *it;
    request.options.max_width_mm = paper_dimension(body, "max_width_mm", kDefaultPaper.width_mm);
    request.options.max_height_mm = paper_dimension(body, "max_height_mm", kDefaultPaper.height_mm);
    request.paper_size =
        Json::array({body.value("max_width_mm", paper_number(kDefaultPaper.width_mm)),
                     body.value("max_height_mm", paper_number(kDefaultPaper.height_mm))});
    return request;
}

host::awaitable<host::http::Response> site_plan(host::http::Call& call) {
    PlanRequest request = parse_plan_request(call.request().body);
    auto result = co_await draw_off_loop([&request] {
        return plots::generate_plot(request.parcel_data, request.selected_parcel_number,
                                    request.road_data, request.options);
    });
    co_return plan_envelope(result, request.paper_size);
}

// ---- GET /plots/site-plan/{plot_id}[.png|.pdf]: records from the database ------------------

// A plan of a stored plot, read on the event loop and ready to draw.
struct StoredPlan {
    std::int64_t plot_id = 0;
    Paper paper;
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
    plan.paper = {checked_paper_mm("max_width_mm", call.real("max_width_mm")),
                  checked_paper_mm("max_height_mm", call.real("max_height_mm"))};
    std::optional<PlotRecords> records;
    try {
        records = co_await host::wait_for(load_plot_records(call.db(), plan.plot_id, plan.paper),
                                          kRecordsTimeLimit);
    } catch (const host::TimeoutError&) {
        throw host::http::HTTPException(
            503, fmt::format("The records of plot {} could not be read within {} s; try again",
                             plan.plot_id, kRecordsTimeLimit.count()));
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

host::awaitable<host::http::Response> stored_site_plan(host::http::Call& call) {
    StoredPlan plan = co_await stored_plan(call);
    auto result = co_await draw_off_loop([&plan] {
        return plots::generate_plot(plan.records.parcel_data, Json(plan.plot_id),
                                    plan.records.road_data, plan.options());
    });
    Json paper_size = Json::array();
    paper_size.push_back(paper_number(plan.paper.width_mm));
    paper_size.push_back(paper_number(plan.paper.height_mm));
    co_return plan_envelope(result, paper_size);
}

host::awaitable<host::http::Response> stored_site_plan_png(host::http::Call& call) {
    StoredPlan plan = co_await stored_plan(call);
    auto png = co_await draw_off_loop([&plan] { return plots::encode_png(plan.compose().figure); });
    co_return plan_file(std::move(png), "image/png", plan, "png");
}

host::awaitable<host::http::Response> stored_site_plan_pdf(host::http::Call& call) {
    StoredPlan plan = co_await stored_plan(call);
    auto pdf = co_await draw_off_loop([&plan] { return plots::render_pdf(plan.compose().figure); });
    co_return plan_file(std::move(pdf), "application/pdf", plan, "pdf");
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
             .default_value = kDefaultPaper.width_mm,
             .description = "Paper width in millimetres, above 0 and at most 1189 (A0)"},
            {.name = "max_height_mm",
             .type = ParamType::real,
             .default_value = kDefaultPaper.height_mm,
             .description = "Paper height in millimetres, above 0 and at most 1189 (A0)"}};
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
            .handler = std::move(handler)};
}

}  // namespace

void add_site_plan_routes(host::http::App& app) {
    using host::http::ResponseKind;
    app.add({.method = "POST",
             .path = "/plots/site-plan",
             .name = "site_plan",
             .description = "Draw the site plan of one parcel from the parcel, road and beacon "
                            "records in the body; answers the base64 PNG, paper size, scale and "
                            "schedule of short legs.",
             .handler = site_plan});
    const std::string from_database =
        " of a stored plot, with its neighbours and the roads in the plan's window and its "
        "boundary beacons annotated with the grid bearing and distance of every leg";
    app.add(stored_plan_route(
        "/plots/site-plan/{plot_id}", "stored_site_plan",
        "The site plan" + from_database +
            "; answers the base64 PNG, paper size, scale and schedule of short legs.",
        ResponseKind::json, stored_site_plan));
    app.add(stored_plan_route("/plots/site-plan/{plot_id}.png", "stored_site_plan_png",
                              "The site plan" + from_database + ", as a 300 dpi PNG image.",
                              ResponseKind::raw, stored_site_plan_png));
    app.add(stored_plan_route(
        "/plots/site-plan/{plot_id}.pdf", "stored_site_plan_pdf",
        "The site plan" + from_database +
            ", as a one-page vector PDF of the paper's size, true to scale when printed at 100 %.",
        ResponseKind::raw, stored_site_plan_pdf));
}

}  // namespace kavara::server
