#pragma once

#include "plots/figure.hpp"
#include "plots/paper.hpp"
#include "plots/values.hpp"

#include <string>
#include <utility>
#include <vector>

namespace plots {

struct Options {
    std::string columnname = "parcel_number";
    double max_width_mm = DEFAULT_PAPER.width_mm;
    double max_height_mm = DEFAULT_PAPER.height_mm;
};

// A composed plan, not yet encoded: the figure can be written as PNG or PDF.
struct Plan {
    Figure figure;
    std::pair<double, double> paper_size;  // (max_width_mm, max_height_mm) as received
    int scale = 0;
    std::vector<Json> schedule;  // the legs too short to label, in boundary order
};

struct PlotResult {
    std::string image64;  // base64 of the 300 dpi PNG
    std::pair<double, double> paper_size;
    int scale = 0;
    std::vector<Json> schedule;
};

// What a plan on `paper` holds while its PNG is made (encode_png draws in bands): one band of
// pixels with the encoder's state, and an allowance for the file itself, whose size is only known
// once it is written (plans are mostly flat colour: the plans of bench/plots take about 0.07 bytes
// a pixel, and the allowance is 0.125). The answers that carry the file in JSON hold it a few
// times over.
struct PlanMemory {
    std::size_t drawing = 0;
    std::size_t file = 0;
};
PlanMemory png_memory(const Paper& paper);

// The site plan of the parcel whose `columnname` equals `selected_parcel_number` among
// `parcel_data` (a list of parcel records; all others are neighbours), with the roads of
// `road_data` (a list of road records, or null). Throws ValueError when the target is not found
// and InputError for records that cannot be drawn.
Plan compose_plot(const Json& parcel_data, const Json& selected_parcel_number,
                  const Json& road_data, const Options& options = {});

// compose_plot, encoded as PNG and base64.
PlotResult generate_plot(const Json& parcel_data, const Json& selected_parcel_number,
                         const Json& road_data, const Options& options = {});

}  // namespace plots
