#pragma once

#include "plots/figure.hpp"
#include "plots/geometry.hpp"

namespace plots {

// One projected, clipped road: polygons as a pale grey area with a thin outline (holes are not
// drawn), lines as a broad translucent grey band, collections member by member; points are not
// drawn.
void plot_road_element(Axes& ax, const Geometry& geom);

}  // namespace plots
