#include "plots/survey_bearings.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

namespace plots {
namespace {

constexpr long minutes_per_circle = 360L * 60;

// Twice the signed area; negative for a clockwise ring with northing up.
double twice_signed_area(std::span<const GridPoint> ring) {
    double sum = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const GridPoint& a = ring[i];
        const GridPoint& b = ring[(i + 1) % ring.size()];
        sum += a.easting * b.northing - b.easting * a.northing;
    }
    return sum;
}

bool more_north_west(const GridPoint& a, const GridPoint& b) {
    double a_key = a.northing - a.easting;
    double b_key = b.northing - b.easting;
    if (a_key != b_key)
        return a_key > b_key;
    return a.northing > b.northing;
}

}  // namespace

Bearing grid_bearing(GridPoint from, GridPoint to) {
    double degrees =
        std::atan2(to.easting - from.easting, to.northing - from.northing) * 180 / std::numbers::pi;
    // Rounding the whole bearing in minutes lets 59.6' carry into the degrees, and 359° 59.6'
    // come round to 0° 0'.
    long minutes = std::lround(degrees * 60) % minutes_per_circle;
    if (minutes < 0)
        minutes += minutes_per_circle;
    return {static_cast<int>(minutes / 60), static_cast<int>(minutes % 60)};
}

double leg_distance(GridPoint from, GridPoint to) {
    double metres = std::hypot(to.easting - from.easting, to.northing - from.northing);
    return std::round(metres * 100) / 100;
}

std::vector<Leg> boundary_legs(std::span<const GridPoint> beacons) {
    std::vector<Leg> legs;
    legs.reserve(beacons.size());
    for (std::size_t i = 0; i < beacons.size(); ++i) {
        const GridPoint& from = beacons[i];
        const GridPoint& to = beacons[(i + 1) % beacons.size()];
        legs.push_back({grid_bearing(from, to), leg_distance(from, to)});
    }
    return legs;
}

std::vector<std::size_t> clockwise_from_north_west(std::span<const GridPoint> ring) {
    if (ring.size() > 1 && ring.front() == ring.back())
        ring = ring.first(ring.size() - 1);
    std::vector<std::size_t> order(ring.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (twice_signed_area(ring) > 0)
        std::reverse(order.begin(), order.end());
    auto first = std::min_element(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return more_north_west(ring[a], ring[b]);
    });
    std::rotate(order.begin(), first, order.end());
    return order;
}

}  // namespace plots
