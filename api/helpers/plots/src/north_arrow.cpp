#include "plots/north_arrow.hpp"

namespace plots {

void add_north_arrow(Axes& ax, Point loc, double size) {
    constexpr double zorder = 10;
    ax.add(Text{.text = "N",
                .at = {loc.x, loc.y + size + 0.01},
                .coords = Coords::axes_fraction,
                .size_pt = 12,
                .bold = true,
                .ha = HAlign::center,
                .va = VAlign::bottom},
           zorder);
    ax.add(Arrow{.tail = loc,
                 .head = {loc.x, loc.y + size},
                 .coords = Coords::axes_fraction,
                 .face = colors::black,
                 .shaft_width_pt = 3,
                 .head_width_pt = 10,
                 .head_length_pt = 12},
           zorder);
}

}  // namespace plots
