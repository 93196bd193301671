// The drawing layer: figure size, equal aspect, z-order, and what the artists put on the raster.
#include "plot_support.hpp"

#include <plots/render.hpp>

#include <gtest/gtest.h>

namespace plots {
namespace {

TEST(Figure, RoundsItsRasterToWholePixels) {
    Figure plan(190 / 25.4, 160 / 25.4, 300);
    EXPECT_EQ(plan.pixel_width(), 2244);
    EXPECT_EQ(plan.pixel_height(), 1890);
    EXPECT_THROW(Figure(0, 1, 300), std::invalid_argument);
}

TEST(Axes, EqualAspectKeepsLimitsInProportionAndWidensOthers) {
    Axes ax(4, 2);
    ax.set_limits({100, 500}, {0, 200});
    EXPECT_EQ(ax.xlim(), (Limits{100, 500}));
    EXPECT_EQ(ax.ylim(), (Limits{0, 200}));

    ax.set_limits({0, 100}, {0, 100});  // too narrow: x widens about its centre
    EXPECT_EQ(ax.xlim(), (Limits{-50, 150}));
    EXPECT_EQ(ax.ylim(), (Limits{0, 100}));

    ax.set_limits({0, 400}, {0, 100});  // too low: y widens
    EXPECT_EQ(ax.xlim(), (Limits{0, 400}));
    EXPECT_EQ(ax.ylim(), (Limits{-50, 150}));
}

TEST(Axes, DrawsByZOrderThenCallOrder) {
    Axes ax(1, 1);
    for (double z : {5.0, 1.0, 5.0, 3.0, 1.0})
        ax.add(Markers{}, z);
    std::vector<std::size_t> order;
    for (const Artist* artist : ax.drawing_order())
        order.push_back(static_cast<std::size_t>(artist - ax.artists().data()));
    EXPECT_EQ(order, (std::vector<std::size_t>{1, 4, 3, 0, 2}));
}

// A 1 x 1 inch figure at 100 dpi whose data limits are 0..100 both ways: one unit is one pixel.
Figure hundred_pixels() {
    Figure figure(1, 1, 100);
    figure.axes().set_limits({0, 100}, {0, 100});
    return figure;
}

int red(const Raster& raster, int x, int y) {
    return static_cast<int>((raster.row(y)[x] >> 16) & 0xFF);
}

TEST(Raster, HigherZOrderCoversLowerWhateverTheCallOrder) {
    Figure figure = hundred_pixels();
    auto& ax = figure.axes();
    ax.add(FilledPolygon{.ring = test::square({20, 20}, 60), .face = colors::black}, 2);
    ax.add(FilledPolygon{.ring = test::square({40, 40}, 20), .face = colors::white}, 1);
    Raster raster = render_raster(figure);
    EXPECT_EQ(red(raster, 50, 50), 0) << "the black square lies on top";
    EXPECT_EQ(red(raster, 5, 5), 255) << "the background is white";
}

TEST(Raster, EachTranslucentLineBlendsOnItsOwn) {
    Figure figure = hundred_pixels();
    auto& ax = figure.axes();
    auto band = [] {
        return Polyline{
            .points = {{0, 50}, {100, 50}}, .color = colors::gray, .width_pt = 7.2, .alpha = 0.3};
    };
    ax.add(band(), 1);
    ax.add(
        Polyline{
            .points = {{60, 0}, {60, 100}}, .color = colors::gray, .width_pt = 7.2, .alpha = 0.3},
        1);
    Raster raster = render_raster(figure);
    int single = red(raster, 20, 49);
    int crossing = red(raster, 60, 49);
    EXPECT_NEAR(single, 255 - 0.3 * (255 - 128), 2);
    EXPECT_LT(crossing, single - 20) << "two lines overlap darker";
}

TEST(Raster, RotatedTextTurnsAboutItsAlignmentPoint) {
    Figure figure(2, 2, 100);
    figure.axes().set_limits({0, 200}, {0, 200});
    figure.axes().add(Text{.text = "MMMMMMMM", .at = {100, 100}, .size_pt = 12, .rotation_deg = 90},
                      7);
    Raster raster = render_raster(figure);
    auto inked = [&](int x, int y) { return red(raster, x, y) < 128; };
    int rows = 0;
    int columns = 0;
    for (int d = -90; d <= 90; ++d) {
        rows += inked(100, 100 + d) ? 1 : 0;
        columns += inked(100 + d, 100) ? 1 : 0;
    }
    EXPECT_GT(rows, 40) << "the text runs up the page";
    EXPECT_LT(columns, 20) << "and not across it";
}

TEST(Raster, AZeroLengthArrowIsItsHeadPointingUp) {
    Figure figure = hundred_pixels();
    figure.axes().add(Arrow{.tail = {0.5, 0.5},
                            .head = {0.5, 0.5},
                            .coords = Coords::axes_fraction,
                            .face = colors::black},
                      10);
    Raster raster = render_raster(figure);
    // 12 pt of head at 100 dpi is about 17 pixels, below the tip.
    EXPECT_EQ(red(raster, 50, 58), 0);
    EXPECT_EQ(red(raster, 50, 45), 255);
}

}  // namespace
}  // namespace plots
