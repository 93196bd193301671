#pragma once

#include <plots/figure.hpp>
#include <plots/geometry.hpp>
#include <plots/values.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plots::test {

// An input of tests/data/plans by its base name.
Json plan_input(std::string_view name);

// A GeoJSON geometry from its text.
Geometry geometry(std::string_view geojson);

// The Web Mercator point (GeoJSON) that projects onto the plan coordinates `plan`, so tests can
// place beacons and parcels where they want them on the plan.
Json web_point(Point plan);
// A GeoJSON polygon in Web Mercator whose exterior ring projects onto `plan_ring` (closed here).
Json web_polygon(const std::vector<Point>& plan_ring);
// The square of `side` m with lower-left corner `corner` in plan coordinates, anticlockwise.
std::vector<Point> square(Point corner, double side);

template <typename Shape>
struct Found {
    const Shape* shape;
    double zorder;
};

// The recorded artists of one kind, in call order.
template <typename Shape>
std::vector<Found<Shape>> shapes(const Axes& ax) {
    std::vector<Found<Shape>> found;
    for (const auto& artist : ax.artists()) {
        if (const auto* shape = std::get_if<Shape>(&artist.shape))
            found.push_back({shape, artist.zorder});
    }
    return found;
}

// The texts of the recorded Text artists, in call order.
std::vector<std::string> texts(const Axes& ax);
// The Text artist whose text is `text`; fails the test if there is none.
const Text& text_artist(const Axes& ax, std::string_view text);

double distance(Point a, Point b);

// A decoded 8-bit RGB PNG.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
    struct Pixel {
        int r, g, b;
    };
    Pixel at(int x, int y) const;
    // The pixel under a point given in axes fraction (0..1 across and up).
    Pixel at_fraction(double fx, double fy) const;
};
Image decode_png(std::string_view png);

std::string base64_decode(std::string_view text);

}  // namespace plots::test
