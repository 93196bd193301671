#pragma once

#include "plots/geometry.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace plots {

// Components from 0 to 1.
struct Color {
    double r = 0;
    double g = 0;
    double b = 0;
    double a = 1;
    friend bool operator==(const Color&, const Color&) = default;
};

// "#rrggbb", for the colours the plan's styles give in hexadecimal.
constexpr Color hex_color(std::string_view hex) {
    auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    auto channel = [&](std::size_t at) {
        return (digit(hex[at]) * 16 + digit(hex[at + 1])) / 255.0;
    };
    return {channel(1), channel(3), channel(5), 1};
}

namespace colors {
inline constexpr Color black{0, 0, 0};
inline constexpr Color white{1, 1, 1};
inline constexpr Color red{1, 0, 0};
inline constexpr Color gray{128 / 255.0, 128 / 255.0, 128 / 255.0};
}  // namespace colors

// Where an artist's points live: ground coordinates of the axes, or fractions of the axes
// (0 to 1 across and up), which stay put when the limits change.
enum class Coords { data, axes_fraction };

enum class HAlign { left, center, right };
enum class VAlign { bottom, center, top };

// Line widths, marker and font sizes are in points (1/72 inch); a width of 0 draws no edge.
struct FilledPolygon {
    std::vector<Point> ring{};
    Color face{};
    Color edge{};
    double edge_width_pt = 0;
};

struct Polyline {
    std::vector<Point> points{};
    Color color{};
    double width_pt = 1;
    double alpha =
        1;  // the whole line is blended at once, so it does not darken where it overlaps itself
};

// Filled circles of `size_pt` diameter.
struct Markers {
    std::vector<Point> points{};
    Color color{};
    double size_pt = 3;
};

struct Rectangle {
    Point corner{};  // lower left
    double width = 0;
    double height = 0;
    Color face{};
    Color edge{};
    double edge_width_pt = 0;
};

// A filled shaft ending in a triangular head at `head`. An arrow shorter than its head is drawn
// as the head alone; one of zero length points up the page.
struct Arrow {
    Point tail{};
    Point head{};
    Coords coords = Coords::data;
    Color face{};
    double shaft_width_pt = 3;
    double head_width_pt = 10;
    double head_length_pt = 12;
};

// A single line of text aligned on `at`. Rotation is anticlockwise in degrees about the
// alignment point, so a rotated label stays centred where it was placed.
struct Text {
    std::string text;
    Point at{};
    Coords coords = Coords::data;
    double size_pt = 10;
    bool bold = false;
    HAlign ha = HAlign::center;
    VAlign va = VAlign::center;
    double rotation_deg = 0;
    Color color = colors::black;
};

using Shape = std::variant<FilledPolygon, Polyline, Markers, Rectangle, Arrow, Text>;

struct Artist {
    Shape shape;
    double zorder = 0;
};

struct Limits {
    double low = 0;
    double high = 1;
    friend bool operator==(const Limits&, const Limits&) = default;
};

// The one axes of a figure, filling it without margins, with equal aspect: a metre of ground is
// as long across the page as up it. Artists are recorded in call order and drawn by z-order.
class Axes {
  public:
    Axes(double width_in, double height_in);

    // Widens the narrower of the two ranges about its centre if their proportions differ from
    // the axes'; limits already in proportion are kept exactly as given.
    void set_limits(Limits x, Limits y);
    Limits xlim() const noexcept { return x_; }
    Limits ylim() const noexcept { return y_; }

    void add(Shape shape, double zorder);

    // In call order, as recorded.
    const std::vector<Artist>& artists() const noexcept { return artists_; }
    // By z-order, equal z-orders in call order.
    std::vector<const Artist*> drawing_order() const;

    // Axes fraction of a point given in `coords`.
    Point to_fraction(Point point, Coords coords) const;

  private:
    double width_in_;
    double height_in_;
    Limits x_;
    Limits y_;
    std::vector<Artist> artists_;
};

// A page of `width_in` x `height_in` inches at `dpi` dots per inch, holding one axes.
class Figure {
  public:
    Figure(double width_in, double height_in, double dpi);

    Axes& axes() noexcept { return axes_; }
    const Axes& axes() const noexcept { return axes_; }
    double width_in() const noexcept { return width_in_; }
    double height_in() const noexcept { return height_in_; }
    double dpi() const noexcept { return dpi_; }
    // Raster size, rounded to whole pixels.
    int pixel_width() const;
    int pixel_height() const;

  private:
    double width_in_;
    double height_in_;
    double dpi_;
    Axes axes_;
};

}  // namespace plots
