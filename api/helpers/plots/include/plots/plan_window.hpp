#pragma once

#include "plots/geometry.hpp"
#include "plots/paper.hpp"

namespace plots {

// What a plan shows of the ground: the scale denominator chosen for the plot and the window of
// ground the paper covers at that scale, in metres of the grid (DST_CRS).
struct PlanWindow {
    int scale = 0;
    Bounds ground;
};

// The layout of the plan of a plot whose grid bounds are `target` and whose centroid is
// `centroid`: the standard scale at which the plot and a margin of 15 m on every side fit the
// paper, and the paper's extent at that scale centred on the centroid. The renderer draws this
// window, and the records lookup chooses the surroundings by it.
PlanWindow plan_window(const Bounds& target, Point centroid, const Paper& paper);

}  // namespace plots
