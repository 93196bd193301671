#include "plots/plan_window.hpp"

#include "plots/scale.hpp"

namespace plots {
namespace {

// The ground kept free around the plot on every side when the scale is chosen.
constexpr double plot_margin_m = 15;

}  // namespace

PlanWindow plan_window(const Bounds& target, Point centroid, const Paper& paper) {
    double survey_w = (target.maxx - target.minx) + 2 * plot_margin_m;
    double survey_h = (target.maxy - target.miny) + 2 * plot_margin_m;
    int scale = get_recommended_scale(survey_w, survey_h, paper.width_mm, paper.height_mm);
    double half_w = paper.width_mm * scale / 1000 / 2;
    double half_h = paper.height_mm * scale / 1000 / 2;
    return {scale,
            {centroid.x - half_w, centroid.y - half_h, centroid.x + half_w, centroid.y + half_h}};
}

}  // namespace plots
