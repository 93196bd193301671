#include "plots/figure.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace plots {

Axes::Axes(double width_in, double height_in) : width_in_(width_in), height_in_(height_in) {}

void Axes::set_limits(Limits x, Limits y) {
    double x_per_inch = (x.high - x.low) / width_in_;
    double y_per_inch = (y.high - y.low) / height_in_;
    // Rounding in the caller's arithmetic must not move limits that are already in proportion.
    constexpr double tolerance = 1e-9;
    if (x_per_inch < y_per_inch * (1 - tolerance)) {
        double half = y_per_inch * width_in_ / 2;
        double centre = (x.low + x.high) / 2;
        x = {centre - half, centre + half};
    } else if (y_per_inch < x_per_inch * (1 - tolerance)) {
        double half = x_per_inch * height_in_ / 2;
        double centre = (y.low + y.high) / 2;
        y = {centre - half, centre + half};
    }
    x_ = x;
    y_ = y;
}

void Axes::add(Shape shape, double zorder) {
    artists_.push_back({std::move(shape), zorder});
}

std::vector<const Artist*> Axes::drawing_order() const {
    std::vector<const Artist*> order;
    order.reserve(artists_.size());
    for (const auto& artist : artists_)
        order.push_back(&artist);
    std::stable_sort(order.begin(), order.end(),
                     [](const Artist* a, const Artist* b) { return a->zorder < b->zorder; });
    return order;
}

Point Axes::to_fraction(Point point, Coords coords) const {
    if (coords == Coords::axes_fraction)
        return point;
    return {(point.x - x_.low) / (x_.high - x_.low), (point.y - y_.low) / (y_.high - y_.low)};
}

Figure::Figure(double width_in, double height_in, double dpi)
    : width_in_(width_in), height_in_(height_in), dpi_(dpi), axes_(width_in, height_in) {
    if (!(width_in > 0 && height_in > 0 && dpi > 0) || !std::isfinite(width_in * height_in * dpi)) {
        throw std::invalid_argument("a figure needs a positive size and resolution");
    }
}

int Figure::pixel_width() const {
    return static_cast<int>(std::lround(width_in_ * dpi_));
}
int Figure::pixel_height() const {
    return static_cast<int>(std::lround(height_in_ * dpi_));
}

}  // namespace plots
