#pragma once

#include "plots/values.hpp"

#include <string_view>

namespace plots {

// The sheet a plan is drawn on, in millimetres; by default the paper of a plan when the caller
// names none.
struct Paper {
    double width_mm = 190;
    double height_mm = 160;
    friend bool operator==(const Paper&, const Paper&) = default;
};

inline constexpr Paper DEFAULT_PAPER{};

// The shortest side a plan's paper may have: below it no furniture fits, and a side that comes
// to no whole pixel at 300 dpi cannot be drawn at all.
inline constexpr double SMALLEST_PAPER_MM = 10;

// The longest side a plan's paper may have: A0's. Larger paper would only make the renderer
// allocate huge surfaces.
inline constexpr double LARGEST_PAPER_MM = 1189;

// `value` when it is at least SMALLEST_PAPER_MM and at most LARGEST_PAPER_MM; otherwise
// InputError naming the side `name` ("max_width_mm").
double checked_paper_mm(std::string_view name, double value);

// The paper as the plans' answers echo it: [width, height], whole millimetres as integers, so
// that 190 stays 190 rather than 190.0.
Json paper_size(const Paper& paper);

}  // namespace plots
