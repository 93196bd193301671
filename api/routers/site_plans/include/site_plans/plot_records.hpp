#pragma once

#include "host/database.hpp"
#include "host/runtime.hpp"

#include <plots/paper.hpp>
#include <plots/plan_window.hpp>
#include <plots/values.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace site_plans {

// The key under which every parcel record holds the plot's "ID", the value the plan selects by.
inline constexpr std::string_view plot_id_key = "parcel_number";

// The renderer's input for the plan of one stored plot. Geometries are GeoJSON in EPSG:3857, as
// stored, because the renderer projects every record itself.
struct PlotRecords {
    std::string plot_no;       // "PLOT_NO", empty when the plot has none
    plots::Json parcel_data;   // the target first (name, area, boundary), then its neighbours
    plots::Json road_data;     // the roads crossing the window
    plots::PlanWindow window;  // the window the neighbours and roads were chosen for
    // False when the plot has no recorded beacons and its corners stand in for them (unnamed).
    bool beacons_recorded = true;
};

// Reads the plot whose "ID" is `plot_id`, its boundary beacons with the bearing and distance of
// every leg, and the plots and roads inside the window of its plan on `paper`: two statements on
// `db`. No plot of that ID gives nothing, without a statement when the ID is beyond the range of
// the "ID" column. Geometries nested deeper than host::MAX_JSON_DEPTH throw host::JsonTooDeep.
host::awaitable<std::optional<PlotRecords>> load_plot_records(host::database::Session& db,
                                                              std::int64_t plot_id,
                                                              const plots::Paper& paper);

}  // namespace site_plans
