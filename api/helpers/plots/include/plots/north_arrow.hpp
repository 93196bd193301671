#pragma once

#include "plots/figure.hpp"

namespace plots {

// A black arrow pointing up the page from `loc` (axes fraction) over `size` of the axes height,
// with a bold "N" just above its tip. Grid north is straight up in the plan's system.
void add_north_arrow(Axes& ax, Point loc = {0.85, 0.85}, double size = 0.1);

}  // namespace plots
