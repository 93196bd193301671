#pragma once

#include "plots/figure.hpp"

namespace plots {

// The ground length in whole metres of one of the bar's four segments at 1:`scale`: the nice
// step nearest a quarter of 50 mm of paper, or whole hundreds beyond 100 m.
int scale_bar_step(int scale);

// The graphic scale in the lower-right corner of the axes' current limits: four segments,
// alternately black and white, labelled outwards from a zero in the middle, then "m".
// Call it once the limits are final.
void add_scale_bar(Axes& ax, int scale);

}  // namespace plots
