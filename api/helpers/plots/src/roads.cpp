#include "plots/roads.hpp"

namespace plots {
namespace {

constexpr Color road_surface = hex_color("#e6e6e6");
constexpr Color road_outline = hex_color("#999999");

void plot_road_line(Axes& ax, const Geometry& line) {
    ax.add(Polyline{.points = line.vertices(), .color = colors::gray, .width_pt = 3, .alpha = 0.3},
           1);
}

void plot_road_surface(Axes& ax, const Geometry& polygon) {
    auto ring = polygon.exterior_ring();
    ax.add(
        FilledPolygon{.ring = ring, .face = road_surface, .edge = road_surface, .edge_width_pt = 0},
        1);
    ax.add(Polyline{.points = std::move(ring), .color = road_outline, .width_pt = 0.5}, 2);
}

}  // namespace

void plot_road_element(Axes& ax, const Geometry& geom) {
    auto type = geom.type_name();
    if (type == "Polygon") {
        plot_road_surface(ax, geom);
    } else if (type == "LineString") {
        plot_road_line(ax, geom);
    } else if (type == "MultiPolygon" || type == "MultiLineString" ||
               type == "GeometryCollection") {
        for (const auto& part : geom.parts())
            plot_road_element(ax, part);
    }
    // Points and multi-points, left over where a road only touches the window, are not drawn.
}

}  // namespace plots
