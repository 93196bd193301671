#pragma once

namespace plots {

// The denominator N of the smallest standard survey scale 1:N at which a ground extent of
// `survey_width_m` x `survey_height_m` fits 98 % of the paper, or the required scale rounded up
// to a whole thousand beyond 1:25000. Non-positive extents give 1000.
int get_recommended_scale(double survey_width_m, double survey_height_m, double max_width_mm = 190,
                          double max_height_mm = 250);

}  // namespace plots
