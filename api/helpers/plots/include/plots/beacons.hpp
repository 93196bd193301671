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
// Whether a leg of `line_len_m` metres is long enough on paper at 1:`scale` (more than 15 mm)
// to carry its bearing and distance on the plan.
bool leg_carries_labels(double line_len_m, int scale);

void annotate_beacons(Axes& ax, const Json& beacons, const Geometry& target_geom, Point centroid,
                      int scale, double fontsize, std::vector<Json>& schedule);

}  // namespace plots
