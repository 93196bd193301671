#pragma once

#include "plots/figure.hpp"
#include "plots/geometry.hpp"
#include "plots/values.hpp"

#include <vector>

namespace plots {

// Marks every beacon of `beacons` (beacon records in boundary order), writes each name just
// outside its corner and the bearing and distance of every leg to the next beacon along the leg;
// legs too short on paper at 1:`scale` are appended to `schedule` instead, as entries
// {"from", "to", "bearing", "distance"}.
void annotate_beacons(Axes& ax, const Json& beacons, const Geometry& target_geom, Point centroid,
                      int scale, double fontsize, std::vector<Json>& schedule);

}  // namespace plots
