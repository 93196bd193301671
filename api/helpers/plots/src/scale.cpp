#include "plots/scale.hpp"

#include "plots/errors.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

namespace plots {
namespace {

constexpr std::array standard_scales = {250,  500,  1000,  1500,  2000, 2500,
                                        5000, 7500, 10000, 20000, 25000};

// Two per cent of each paper dimension stays free.
constexpr double usable_fraction = 0.98;

}  // namespace

int get_recommended_scale(double survey_width_m, double survey_height_m, double max_width_mm,
                          double max_height_mm) {
    if (survey_width_m <= 0 || survey_height_m <= 0)
        return 1000;
    if (max_width_mm == 0 || max_height_mm == 0) {
        throw InputError(
            fmt::format("paper size {} x {} mm has no area", max_width_mm, max_height_mm));
    }
    double scale_w = (survey_width_m * 1000) / (max_width_mm * usable_fraction);
    double scale_h = (survey_height_m * 1000) / (max_height_mm * usable_fraction);
    double min_required_scale = std::max(scale_w, scale_h);
    for (int scale : standard_scales) {
        if (scale >= min_required_scale)
            return scale;
    }
    double rounded = std::ceil(min_required_scale / 1000) * 1000;
    if (!(rounded <= INT_MAX)) {
        throw InputError(fmt::format("an extent of {} x {} m is too large for a plan",
                                     survey_width_m, survey_height_m));
    }
    return static_cast<int>(rounded);
}

}  // namespace plots
