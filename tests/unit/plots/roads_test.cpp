// Road kinds and their styles.
#include "plot_support.hpp"

#include <plots/roads.hpp>

#include <gtest/gtest.h>

namespace plots {
namespace {

using test::geometry;
using test::shapes;

constexpr const char* courtyard = R"({"type":"Polygon","coordinates":[
    [[0,0],[40,0],[40,30],[0,30],[0,0]], [[10,10],[20,10],[20,20],[10,20],[10,10]]]})";

TEST(Roads, APolygonIsAPaleSurfaceWithAThinOutlineDrawnOverItsHole) {
    Axes ax(1, 1);
    plot_road_element(ax, geometry(courtyard));
    auto fills = shapes<FilledPolygon>(ax);
    auto lines = shapes<Polyline>(ax);
    ASSERT_EQ(fills.size(), 1u);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(fills[0].shape->ring.size(), 5u) << "the exterior ring only";
    EXPECT_EQ(fills[0].shape->face, hex_color("#e6e6e6"));
    EXPECT_EQ(fills[0].shape->edge_width_pt, 0);
    EXPECT_EQ(fills[0].zorder, 1);
    EXPECT_EQ(lines[0].shape->points, fills[0].shape->ring);
    EXPECT_EQ(lines[0].shape->color, hex_color("#999999"));
    EXPECT_EQ(lines[0].shape->width_pt, 0.5);
    EXPECT_EQ(lines[0].shape->alpha, 1);
    EXPECT_EQ(lines[0].zorder, 2);
}

TEST(Roads, LinesAreBroadTranslucentGreyBandsPartByPart) {
    Axes ax(1, 1);
    plot_road_element(ax, geometry(R"({"type":"MultiLineString","coordinates":[
        [[0,0],[10,0]], [[0,5],[10,5],[20,8]]]})"));
    plot_road_element(ax, geometry(R"({"type":"LineString","coordinates":[[1,1],[2,2]]})"));
    auto lines = shapes<Polyline>(ax);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].shape->points.size(), 3u);
    for (const auto& line : lines) {
        EXPECT_EQ(line.shape->color, colors::gray);
        EXPECT_EQ(line.shape->color, (Color{128 / 255.0, 128 / 255.0, 128 / 255.0}));
        EXPECT_EQ(line.shape->width_pt, 3);
        EXPECT_EQ(line.shape->alpha, 0.3);
        EXPECT_EQ(line.zorder, 1);
    }
}

TEST(Roads, CollectionsDrawTheirLinesAndPolygonsAndSkipPoints) {
    Axes ax(1, 1);
    plot_road_element(ax, geometry(R"({"type":"GeometryCollection","geometries":[
        {"type":"Point","coordinates":[5,5]},
        {"type":"LineString","coordinates":[[0,0],[10,0]]},
        {"type":"GeometryCollection","geometries":[
            {"type":"MultiPoint","coordinates":[[1,1],[2,2]]},
            {"type":"Polygon","coordinates":[[[0,0],[1,0],[1,1],[0,0]]]}]}]})"));
    EXPECT_EQ(shapes<FilledPolygon>(ax).size(), 1u);
    EXPECT_EQ(shapes<Polyline>(ax).size(), 2u) << "the line and the polygon's outline";
    EXPECT_EQ(shapes<Markers>(ax).size(), 0u);
}

TEST(Roads, MultiPolygonsDrawEachPartInOrderAndPointsNothing) {
    Axes ax(1, 1);
    plot_road_element(ax, geometry(R"({"type":"MultiPolygon","coordinates":[
        [[[0,0],[1,0],[1,1],[0,0]]], [[[5,5],[6,5],[6,6],[5,6],[5,5]]]]})"));
    auto fills = shapes<FilledPolygon>(ax);
    ASSERT_EQ(fills.size(), 2u);
    EXPECT_EQ(fills[1].shape->ring.front(), (Point{5, 5}));

    Axes empty(1, 1);
    plot_road_element(empty, geometry(R"({"type":"Point","coordinates":[5,5]})"));
    plot_road_element(empty, geometry(R"({"type":"MultiPoint","coordinates":[[5,5]]})"));
    plot_road_element(empty, geometry(R"({"type":"GeometryCollection","geometries":[]})"));
    EXPECT_TRUE(empty.artists().empty());
}

}  // namespace
}  // namespace plots
