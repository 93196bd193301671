// The north arrow: placed in axes fraction in the upper-right corner, over everything else.
#include "plot_support.hpp"

#include <plots/north_arrow.hpp>

#include <gtest/gtest.h>

namespace plots {
namespace {

using test::shapes;

TEST(NorthArrow, DefaultsPutItInTheUpperRightCorner) {
    Axes ax(7.48, 6.3);
    add_north_arrow(ax);
    auto arrows = shapes<Arrow>(ax);
    ASSERT_EQ(arrows.size(), 1u);
    const Arrow& arrow = *arrows[0].shape;
    EXPECT_EQ(arrow.coords, Coords::axes_fraction);
    EXPECT_EQ(arrow.tail, (Point{0.85, 0.85}));
    EXPECT_DOUBLE_EQ(arrow.head.x, 0.85);
    EXPECT_DOUBLE_EQ(arrow.head.y, 0.95);
    EXPECT_EQ(arrow.face, colors::black);
    EXPECT_EQ(arrow.shaft_width_pt, 3);
    EXPECT_EQ(arrow.head_width_pt, 10);
    EXPECT_EQ(arrow.head_length_pt, 12);
    EXPECT_EQ(arrows[0].zorder, 10);

    const Text& n = test::text_artist(ax, "N");
    EXPECT_EQ(n.coords, Coords::axes_fraction);
    EXPECT_DOUBLE_EQ(n.at.x, 0.85);
    EXPECT_DOUBLE_EQ(n.at.y, 0.96);
    EXPECT_EQ(n.ha, HAlign::center);
    EXPECT_EQ(n.va, VAlign::bottom);
    EXPECT_EQ(n.size_pt, 12);
    EXPECT_TRUE(n.bold);
    EXPECT_EQ(shapes<Text>(ax)[0].zorder, 10);
}

TEST(NorthArrow, ZeroSizePutsTheLabelJustAboveTheTail) {
    Axes ax(7.48, 6.3);
    add_north_arrow(ax, {0.1, 0.2}, 0);
    const Arrow& arrow = *shapes<Arrow>(ax)[0].shape;
    EXPECT_EQ(arrow.tail, arrow.head);
    EXPECT_DOUBLE_EQ(test::text_artist(ax, "N").at.y, 0.21);
}

TEST(NorthArrow, KeepsItsPlaceOnThePageWhenTheLimitsChange) {
    Axes ax(7.48, 6.3);
    add_north_arrow(ax);
    const Arrow& arrow = *shapes<Arrow>(ax)[0].shape;
    ax.set_limits({0, 10}, {0, 10});
    Point before = ax.to_fraction(arrow.tail, arrow.coords);
    ax.set_limits({5000, 90000}, {-3000, 20000});
    EXPECT_EQ(ax.to_fraction(arrow.tail, arrow.coords), before);
}

}  // namespace
}  // namespace plots
