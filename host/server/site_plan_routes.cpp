#include "site_plan_routes.hpp"

#include "host/responses.hpp"
#include "host/runtime.hpp"

#include <plots/errors.hpp>
#include <plots/plot.hpp>

namespace kavara::server {
namespace {

using plots::Json;

// Paper larger than A0 would only make the renderer allocate huge surfaces.
constexpr double kLargestPaperMm = 1189.0;

struct PlanRequest {
    Json parcel_data;
    Json selected_parcel_number;
    Json road_data;
    plots::Options options;
    Json paper_size;  // as the caller wrote it, so 190 stays 190
};

[[noreturn]] void reject(const std::string& message) {
    throw host::http::HTTPException(422, message);
}

double paper_dimension(const Json& body, const char* key, double fallback) {
    auto it = body.find(key);
    if (it == body.end())
        return fallback;
    if (!it->is_number())
        reject(std::string("\"") + key + "\" must be a number of millimetres");
    double value = it->get<double>();
    if (!(value > 0 && value <= kLargestPaperMm))
        reject(std::string("\"") + key + "\" must be above 0 and at most 1189 mm (A0)");
    return value;
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
    request.options.max_width_mm = paper_dimension(body, "max_width_mm", 190);
    request.options.max_height_mm = paper_dimension(body, "max_height_mm", 160);
    request.paper_size = Json::array(
        {body.value("max_width_mm", Json(190)), body.value("max_height_mm", Json(160))});
    return request;
}

Json plan_data(const plots::PlotResult& result, const Json& paper_size) {
    Json data;
    data["image64"] = result.image64;
    data["paper_size"] = paper_size;
    data["scale"] = result.scale;
    data["schedule"] = result.schedule;
    return data;
}

host::awaitable<host::http::Response> site_plan(host::http::Call& call) {
    PlanRequest request = parse_plan_request(call.request()->body);
    plots::PlotResult result;
    try {
        result = co_await host::run_blocking([&request] {
            return plots::generate_plot(request.parcel_data, request.selected_parcel_number,
                                        request.road_data, request.options);
        });
    } catch (const plots::ValueError& e) {
        throw host::http::HTTPException(404, e.what());
    } catch (const plots::InputError& e) {
        throw host::http::HTTPException(422, e.what());
    } catch (const Json::exception& e) {
        throw host::http::HTTPException(422, std::string("Malformed record: ") + e.what());
    }
    co_return host::api_router_response(
        host::api_response({.data = plan_data(result, request.paper_size)}));
}

}  // namespace

void add_site_plan_routes(host::http::App& app) {
    app.add({.method = "POST",
             .path = "/plots/site-plan",
             .name = "site_plan",
             .description = "Draw the site plan of one parcel from the parcel, road and beacon "
                            "records in the body; answers the base64 PNG, paper size, scale and "
                            "schedule of short legs.",
             .handler = site_plan});
}

}  // namespace kavara::server
