#include "plots/paper.hpp"

#include "plots/errors.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>

namespace plots {
namespace {

Json millimetres(double mm) {
    if (mm == std::floor(mm))
        return static_cast<std::int64_t>(mm);
    return mm;
}

}  // namespace

double checked_paper_mm(std::string_view name, double value) {
    if (!(value >= SMALLEST_PAPER_MM && value <= LARGEST_PAPER_MM))
        throw InputError(fmt::format("\"{}\" must be at least {} mm and at most {} mm (A0)", name,
                                     SMALLEST_PAPER_MM, LARGEST_PAPER_MM));
    return value;
}

Json paper_size(const Paper& paper) {
    return Json::array({millimetres(paper.width_mm), millimetres(paper.height_mm)});
}

}  // namespace plots
