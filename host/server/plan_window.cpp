#include "plan_window.hpp"

#include <plots/scale.hpp>

namespace kavara::server {
namespace {

// The ground the renderer keeps free around the plot on every side when it picks the scale.
constexpr double plot_margin_m = 15;

}  // namespace

PlanWindow plan_window(const plots::Bounds& target, GridPoint centroid, const Paper& paper) {
    double survey_w = (target.maxx - target.minx) + 2 * plot_margin_m;
    double survey_h = (target.maxy - target.miny) + 2 * plot_margin_m;
    int scale = plots::get_recommended_scale(survey_w, survey_h, paper.width_mm, paper.height_mm);
    double half_w = paper.width_mm * scale / 1000 / 2;
    double half_h = paper.height_mm * scale / 1000 / 2;
    return {scale,
            {centroid.easting - half_w, centroid.northing - half_h, centroid.easting + half_w,
             centroid.northing + half_h}};
}

}  // namespace kavara::server
