#pragma once

#include <cmath>
#include <span>
#include <stdexcept>

namespace seed {

// Plane coordinates: EPSG:26332 metres (easting, northing) while the area is laid out.
struct Point {
    double x = 0;
    double y = 0;
};

constexpr Point operator+(Point a, Point b) noexcept {
    return {a.x + b.x, a.y + b.y};
}
constexpr Point operator-(Point a, Point b) noexcept {
    return {a.x - b.x, a.y - b.y};
}
constexpr Point operator*(Point a, double k) noexcept {
    return {a.x * k, a.y * k};
}
constexpr double dot(Point a, Point b) noexcept {
    return a.x * b.x + a.y * b.y;
}
constexpr double cross(Point a, Point b) noexcept {
    return a.x * b.y - a.y * b.x;
}
inline double length(Point a) noexcept {
    return std::hypot(a.x, a.y);
}
inline double distance(Point a, Point b) noexcept {
    return length(b - a);
}
constexpr Point lerp(Point a, Point b, double t) noexcept {
    return a + (b - a) * t;
}

// The unit vector a quarter turn counter-clockwise from `d`.
inline Point left_normal(Point d) noexcept {
    const double n = length(d);
    return {-d.y / n, d.x / n};
}

// An infinite line through `origin` along `direction`.
struct Line {
    Point origin;
    Point direction;
};

inline Line line_through(Point a, Point b) noexcept {
    return {a, b - a};
}

// The parallel line `distance` metres to the left of the direction (negative: to the right).
inline Line offset(const Line& line, double distance) noexcept {
    return {line.origin + left_normal(line.direction) * distance, line.direction};
}

// Which side of `line` the point lies on: +1 left, -1 right.
inline double side_of(const Line& line, Point p) noexcept {
    return cross(line.direction, p - line.origin) >= 0 ? 1.0 : -1.0;
}

inline Point intersect(const Line& a, const Line& b) {
    const double denominator = cross(a.direction, b.direction);
    if (std::abs(denominator) < 1e-12 * length(a.direction) * length(b.direction))
        throw std::logic_error("intersecting parallel lines");
    const double t = cross(b.origin - a.origin, b.direction) / denominator;
    return a.origin + a.direction * t;
}

// Shoelace area of an open ring; positive when counter-clockwise. Taken relative to the first
// vertex so that large projected coordinates do not cost precision.
inline double signed_area(std::span<const Point> ring) noexcept {
    double twice = 0;
    for (std::size_t i = 1; i + 1 < ring.size(); ++i)
        twice += cross(ring[i] - ring[0], ring[i + 1] - ring[0]);
    return twice / 2;
}

}  // namespace seed
