#pragma once

#include "plots/plot.hpp"
#include "plots/values.hpp"

#include <string_view>

namespace plots {

// The arguments of one plan as a caller sends them: "parcel_data" (a list),
// "selected_parcel_number", "road_data" (a list or null) and optionally "columnname",
// "bounding_box" (accepted and ignored), "max_width_mm" and "max_height_mm".
struct PlanRequest {
    Json parcel_data;
    Json selected_parcel_number;
    Json road_data;
    Options options;
    Json paper_size;  // [width, height] as the caller wrote them, so 190 stays 190
};

// The request in `body`, checked: InputError with the message of the first fault (a missing
// key, a value of the wrong type, a paper side outside what checked_paper_mm accepts). The
// records are moved out of `body` and checked when the plan is drawn.
PlanRequest read_plan_request(Json&& body);

// read_plan_request of the JSON text `text`; text that is not JSON, or nests deeper than
// host::MAX_JSON_DEPTH, is an InputError too.
PlanRequest parse_plan_request(std::string_view text);

}  // namespace plots
