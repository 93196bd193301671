#pragma once

#include "survey_bearings.hpp"

#include <plots/geometry.hpp>

namespace kavara::server {

// The paper a plan is drawn for, in millimetres; the renderer's defaults.
struct Paper {
    double width_mm = 190;
    double height_mm = 160;
};

// What the renderer will show of the ground for one plot: the scale denominator it chooses and
// the window of ground the paper covers at that scale, in metres of the grid.
struct PlanWindow {
    int scale = 0;
    plots::Bounds ground;
};

// The window of the plan of a plot whose grid bounds are `target` and whose centroid is
// `centroid`: the standard scale at which the plot and a margin around it fit the paper, and the
// paper's extent at that scale centred on the centroid, as the renderer lays the plan out.
PlanWindow plan_window(const plots::Bounds& target, GridPoint centroid, const Paper& paper);

}  // namespace kavara::server
