#include "plots/plan_request.hpp"

#include "plots/errors.hpp"
#include "plots/paper.hpp"

#include <fmt/format.h>
#include <host/json_limits.hpp>

#include <string>
#include <utility>

namespace plots {
namespace {

[[noreturn]] void reject(const std::string& message) {
    throw InputError(message);
}

double paper_side(const Json& body, const char* key, double fallback) {
    auto it = body.find(key);
    if (it == body.end())
        return fallback;
    if (!it->is_number())
        reject(fmt::format("\"{}\" must be a number of millimetres", key));
    return checked_paper_mm(key, it->get<double>());
}

}  // namespace

PlanRequest read_plan_request(Json&& body) {
    if (!body.is_object())
        reject("The body must be a JSON object");
    for (const char* key : {"parcel_data", "selected_parcel_number", "road_data"})
        if (!body.contains(key))
            reject(fmt::format("Missing \"{}\"", key));
    if (!body["parcel_data"].is_array())
        reject("\"parcel_data\" must be a list of parcel records");
    if (!body["road_data"].is_null() && !body["road_data"].is_array())
        reject("\"road_data\" must be a list of road records or null");
    PlanRequest request;
    // Moved, never copied: copying a value recurses through all of its levels.
    request.parcel_data = std::move(body["parcel_data"]);
    request.selected_parcel_number = std::move(body["selected_parcel_number"]);
    request.road_data = std::move(body["road_data"]);
    if (auto it = body.find("columnname"); it != body.end()) {
        if (!it->is_string())
            reject("\"columnname\" must be text");
        request.options.columnname = it->get<std::string>();
    }
    request.options.max_width_mm = paper_side(body, "max_width_mm", DEFAULT_PAPER.width_mm);
    request.options.max_height_mm = paper_side(body, "max_height_mm", DEFAULT_PAPER.height_mm);
    const Json defaults = paper_size(DEFAULT_PAPER);
    request.paper_size = Json::array(
        {body.value("max_width_mm", defaults[0]), body.value("max_height_mm", defaults[1])});
    return request;
}

PlanRequest parse_plan_request(std::string_view text) {
    if (!host::json_nests_within(text))
        reject(fmt::format("The body nests arrays and objects deeper than {} levels",
                           host::MAX_JSON_DEPTH));
    Json body = Json::parse(text, nullptr, false);
    if (body.is_discarded())
        reject("The body is not valid JSON");
    return read_plan_request(std::move(body));
}

}  // namespace plots
