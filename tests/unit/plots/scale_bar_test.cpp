// The graphic scale: its step for every scale and its pieces in the lower-right corner.
#include "plot_support.hpp"

#include <plots/scale_bar.hpp>

#include <gtest/gtest.h>

#include <map>

namespace plots {
namespace {

using test::shapes;

TEST(ScaleBarStep, MatchesTheTable) {
    const std::map<int, int> steps = {{250, 2},     {500, 5},     {1000, 10},   {1500, 20},
                                      {2000, 25},   {2500, 25},   {5000, 50},   {7500, 100},
                                      {10000, 100}, {20000, 200}, {25000, 300}, {36000, 400}};
    for (auto [scale, step] : steps)
        EXPECT_EQ(scale_bar_step(scale), step) << "1:" << scale;
}

TEST(ScaleBarStep, TiesGoToTheSmallerStepAndHundredsToEven) {
    EXPECT_EQ(scale_bar_step(600), 5);      // 7.5 m between 5 and 10
    EXPECT_EQ(scale_bar_step(1800), 20);    // 22.5 m between 20 and 25
    EXPECT_EQ(scale_bar_step(3000), 25);    // 37.5 m between 25 and 50
    EXPECT_EQ(scale_bar_step(6000), 50);    // 75 m between 50 and 100
    EXPECT_EQ(scale_bar_step(8000), 100);   // exactly 100 m stays with the list
    EXPECT_EQ(scale_bar_step(28000), 400);  // 350 m rounds to the even 400
    EXPECT_EQ(scale_bar_step(12000), 200);  // 150 m rounds to the even 200
    EXPECT_EQ(scale_bar_step(10000), 100);  // 125 m
}

// An axes at 1:1000 on the default plan paper, 190 x 160 m of ground.
Axes plan_axes(double x0 = 1000, double y0 = 5000) {
    Axes ax(190 / 25.4, 160 / 25.4);
    ax.set_limits({x0, x0 + 190}, {y0, y0 + 160});
    return ax;
}

TEST(ScaleBar, At1To1000IsFourTenMetreSegmentsInTheLowerRightCorner) {
    Axes ax = plan_axes();
    add_scale_bar(ax, 1000);
    auto rects = shapes<Rectangle>(ax);
    ASSERT_EQ(rects.size(), 3u);
    const auto& outline = *rects[0].shape;
    EXPECT_EQ(rects[0].zorder, 10);
    EXPECT_EQ(outline.face, colors::white);
    EXPECT_EQ(outline.edge_width_pt, 1);
    EXPECT_DOUBLE_EQ(outline.width, 40);
    EXPECT_DOUBLE_EQ(outline.corner.x + outline.width, 1190 - 190 * 0.05)
        << "5 % in from the right";
    EXPECT_DOUBLE_EQ(outline.corner.y, 5000 + 160 * 0.02) << "2 % up from the bottom";
    EXPECT_DOUBLE_EQ(outline.height, 160 * 0.015);

    double start_x = outline.corner.x;
    for (std::size_t i : {1u, 2u}) {
        EXPECT_EQ(rects[i].shape->face, colors::black);
        EXPECT_EQ(rects[i].shape->edge_width_pt, 0);
        EXPECT_EQ(rects[i].zorder, 11);
        EXPECT_DOUBLE_EQ(rects[i].shape->width, 10);
    }
    EXPECT_DOUBLE_EQ(rects[1].shape->corner.x, start_x) << "segment 0 is black";
    EXPECT_DOUBLE_EQ(rects[2].shape->corner.x, start_x + 20) << "segment 2 is black";

    auto lines = shapes<Polyline>(ax);
    EXPECT_EQ(lines.size(), 9u) << "four dividers and five ticks";
    for (const auto& line : lines)
        EXPECT_EQ(line.zorder, 12);

    EXPECT_EQ(test::texts(ax), (std::vector<std::string>{"20", "10", "0", "10", "20", "m"}));
    auto labels = shapes<Text>(ax);
    double label_y = outline.corner.y + outline.height * (1 + 0.5 * 1.2);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_DOUBLE_EQ(labels[i].shape->at.x, start_x + 10.0 * static_cast<double>(i));
        EXPECT_DOUBLE_EQ(labels[i].shape->at.y, label_y);
        EXPECT_EQ(labels[i].shape->va, VAlign::bottom);
        EXPECT_TRUE(labels[i].shape->bold);
        EXPECT_EQ(labels[i].shape->size_pt, 9);
        EXPECT_EQ(labels[i].zorder, 13);
    }
    const auto& unit = *labels[5].shape;
    EXPECT_DOUBLE_EQ(unit.at.x, start_x + 40 + 1.9);
    EXPECT_EQ(unit.ha, HAlign::left);
}

TEST(ScaleBar, FollowsTheLimitsWithoutClamping) {
    Axes ax(190 / 25.4, 160 / 25.4);
    ax.set_limits({0, 19}, {0, 16});  // narrower than the 40 m bar
    add_scale_bar(ax, 1000);
    const auto& outline = *shapes<Rectangle>(ax)[0].shape;
    EXPECT_DOUBLE_EQ(outline.corner.x, 19 - 0.95 - 40);
    EXPECT_LT(outline.corner.x, 0);
}

TEST(ScaleBar, At1To20000SegmentsAre200Metres) {
    Axes ax = plan_axes();
    add_scale_bar(ax, 20000);
    EXPECT_EQ(test::texts(ax), (std::vector<std::string>{"400", "200", "0", "200", "400", "m"}));
}

}  // namespace
}  // namespace plots
