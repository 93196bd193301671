// Beacon marks, their names, leg bearings and distances, and the schedule of short legs.
#include "plot_support.hpp"

#include <plots/beacons.hpp>
#include <plots/errors.hpp>

#include <gtest/gtest.h>

#include <cmath>

namespace plots {
namespace {

using test::shapes;

// Plan coordinates of the tests' origin, near 7.4E 9.05N.
constexpr Point origin{324000, 1000500};

Point at(double dx, double dy) {
    return {origin.x + dx, origin.y + dy};
}

Json beacon(const std::string& name, double dx, double dy) {
    return Json{{"beacon_name", name}, {"geometry", test::web_point(at(dx, dy))}};
}

Json with_leg(Json record, Json deg, Json min, Json distance) {
    record["bearing_deg_to_next"] = std::move(deg);
    record["bearing_min_to_next"] = std::move(min);
    record["distance_to_next"] = std::move(distance);
    return record;
}

Geometry plan_polygon(const std::vector<Point>& ring) {
    Json coords = Json::array();
    for (const auto& p : ring)
        coords.push_back(Json::array({p.x, p.y}));
    coords.push_back(coords.front());
    return Geometry::from_geojson(
        Json{{"type", "Polygon"}, {"coordinates", Json::array({coords})}});
}

struct Annotated {
    Axes ax{190 / 25.4, 160 / 25.4};
    std::vector<Json> schedule;
};

Annotated annotate(const Json& beacons, const std::vector<Point>& ring, int scale = 1000) {
    Annotated out;
    Geometry target = plan_polygon(ring);
    annotate_beacons(out.ax, beacons, target, target.centroid(), scale, 10, out.schedule);
    return out;
}

// Clockwise from the south-west corner; 40 m legs are labelled at 1:1000 (more than 15 m).
Json square_beacons() {
    return Json::array({with_leg(beacon("PB 1", 0, 0), 0, 0, 40),
                        with_leg(beacon("PB 2", 0, 40), 90, 0, 40),
                        with_leg(beacon("PB 3", 40, 40), 180, 0, 40.0),
                        with_leg(beacon("SC/AB 1234", 40, 0), 270, 0, 40)});
}
const std::vector<Point> square_ring = {at(0, 0), at(0, 40), at(40, 40), at(40, 0)};

double near_360(double angle) {
    return std::remainder(angle, 360);
}

TEST(Beacons, EveryBeaconGetsABlackMarker) {
    auto out = annotate(square_beacons(), square_ring);
    auto markers = shapes<Markers>(out.ax);
    ASSERT_EQ(markers.size(), 4u);
    EXPECT_NEAR(test::distance(markers[2].shape->points[0], at(40, 40)), 0, 1e-6);
    EXPECT_EQ(markers[0].shape->color, colors::black);
    EXPECT_EQ(markers[0].shape->size_pt, 3);
    EXPECT_EQ(markers[0].zorder, 6);
    EXPECT_TRUE(out.schedule.empty());
}

TEST(Beacons, NamesSitOutsideTheCornerOnItsBisector) {
    auto out = annotate(square_beacons(), square_ring);
    Geometry target = plan_polygon(square_ring);
    const Text& short_name = test::text_artist(out.ax, "PB 1");
    EXPECT_NEAR(test::distance(short_name.at, at(0, 0)), 9, 1e-6) << "9 mm at 1:1000";
    EXPECT_NEAR(short_name.at.x - origin.x, short_name.at.y - origin.y, 1e-6) << "on the bisector";
    EXPECT_LT(short_name.at.x, origin.x) << "turned outward";
    EXPECT_NEAR(short_name.rotation_deg, 45, 1e-6) << "-135 degrees reads upside down";
    EXPECT_EQ(short_name.ha, HAlign::center);
    EXPECT_EQ(short_name.size_pt, 10);

    const Text& long_name = test::text_artist(out.ax, "SC/AB 1234");
    EXPECT_NEAR(test::distance(long_name.at, at(40, 0)), 18, 1e-6)
        << "9 + 6 x 1.5 mm for 10 characters";
    for (const auto& name : {"PB 1", "PB 2", "PB 3", "SC/AB 1234"}) {
        EXPECT_FALSE(target.contains(test::text_artist(out.ax, name).at)) << name;
    }
}

TEST(Beacons, AtAReflexCornerTheFirstPositionIsUsed) {
    std::vector<Point> l_shape = {at(0, 0),   at(0, 40),  at(20, 40),
                                  at(20, 20), at(40, 20), at(40, 0)};
    Json beacons = Json::array();
    for (std::size_t i = 0; i < l_shape.size(); ++i) {
        beacons.push_back(
            beacon("B" + std::to_string(i), l_shape[i].x - origin.x, l_shape[i].y - origin.y));
    }
    auto out = annotate(beacons, l_shape);
    const Text& reflex = test::text_artist(out.ax, "B3");
    double leg = 9 / std::sqrt(2.0);
    EXPECT_NEAR(reflex.at.x, origin.x + 20 + leg, 1e-6);
    EXPECT_NEAR(reflex.at.y, origin.y + 20 + leg, 1e-6);
}

TEST(Beacons, DueEastLegReadsFromItsFirstBeacon) {
    auto out = annotate(square_beacons(), square_ring);
    const Text& deg = test::text_artist(out.ax, "90");  // PB 2 -> PB 3 along the top
    EXPECT_NEAR(deg.at.x, origin.x + 10, 1e-6) << "a quarter along from PB 2";
    EXPECT_NEAR(deg.at.y, origin.y + 42, 1e-6) << "2 mm outside";
    EXPECT_NEAR(near_360(deg.rotation_deg), 0, 1e-6);
    EXPECT_EQ(deg.size_pt, 9);
    EXPECT_FALSE(deg.bold);
}

TEST(Beacons, DueWestLegIsTurnedToReadLeftToRight) {
    auto out = annotate(square_beacons(), square_ring);
    const Text& deg = test::text_artist(out.ax, "270");  // SC/AB 1234 -> PB 1 along the bottom
    EXPECT_NEAR(deg.at.x, origin.x + 10, 1e-6) << "degrees three quarters along, at the left";
    EXPECT_NEAR(deg.at.y, origin.y - 2, 1e-6);
    EXPECT_NEAR(near_360(deg.rotation_deg), 0, 1e-6) << "180 turned by 180";
}

TEST(Beacons, DistancesSitInsideInBoldAndBearingsOutside) {
    auto out = annotate(square_beacons(), square_ring);
    Geometry target = plan_polygon(square_ring);
    int distances = 0;
    for (const auto& found : shapes<Text>(out.ax)) {
        const Text& text = *found.shape;
        EXPECT_EQ(found.zorder, 7);
        if (text.text == "40.00m") {
            ++distances;
            EXPECT_TRUE(text.bold);
            EXPECT_TRUE(target.contains(text.at));
        } else if (text.text.size() <= 3) {  // degrees and minutes
            EXPECT_FALSE(target.contains(text.at)) << text.text;
        }
    }
    EXPECT_EQ(distances, 4);
}

TEST(Beacons, ALegLongerThan15MmOfPaperIsLabelled) {
    EXPECT_FALSE(leg_carries_labels(15, 1000));
    EXPECT_TRUE(leg_carries_labels(15.01, 1000));
    EXPECT_FALSE(leg_carries_labels(30, 2000));
    EXPECT_TRUE(leg_carries_labels(30.01, 2000));
}

TEST(Beacons, ShortLegsGoToTheScheduleInBoundaryOrder) {
    // A 40 x 14.99 m plot: its two short ends are listed, its long sides labelled.
    Json beacons = Json::array({with_leg(beacon("PB 1", 0, 0), 1, "05", 14.99),
                                with_leg(beacon("PB 2", 0, 14.99), 90, 0, 40),
                                with_leg(beacon("PB 3", 40, 14.99), 180, 30, 14.99),
                                with_leg(beacon("PB 4", 40, 0), 270, 0, 40)});
    auto out = annotate(beacons, {at(0, 0), at(0, 14.99), at(40, 14.99), at(40, 0)});
    ASSERT_EQ(out.schedule.size(), 2u);
    EXPECT_EQ(out.schedule[0].dump(),
              R"({"from":"PB 1","to":"PB 2","bearing":"1 05","distance":"14.99"})");
    EXPECT_EQ(out.schedule[1].dump(),
              R"({"from":"PB 3","to":"PB 4","bearing":"180 30","distance":"14.99"})");
    auto all = test::texts(out.ax);
    EXPECT_EQ(std::count(all.begin(), all.end(), "40.00m"), 2);
}

TEST(Beacons, ABeaconOnItsSuccessorIsMarkedButNotNamed) {
    // PB 2 lies on its unnamed successor: neither is named and the zero leg between them is
    // skipped.
    Json beacons =
        Json::array({beacon("PB 1", 0, 0), beacon("PB 2", 0, 10),
                     Json{{"geometry", test::web_point(at(0, 10))}}, beacon("PB 4", 10, 0)});
    auto out = annotate(beacons, {at(0, 0), at(0, 10), at(10, 0)});
    EXPECT_EQ(shapes<Markers>(out.ax).size(), 4u);
    EXPECT_EQ(test::texts(out.ax), (std::vector<std::string>{"PB 1", "PB 4"}));
    ASSERT_EQ(out.schedule.size(), 2u);
    EXPECT_EQ(out.schedule[0].dump(),
              R"({"from":"PB 1","to":"PB 2","bearing":" ","distance":"0.00"})");
    EXPECT_EQ(out.schedule[1]["from"], "PB 4");
    EXPECT_EQ(out.schedule[1]["to"], "PB 1");
}

TEST(Beacons, OneBeaconIsOnlyAMarker) {
    auto out = annotate(Json::array({beacon("PB 1", 0, 0)}), square_ring);
    EXPECT_EQ(shapes<Markers>(out.ax).size(), 1u);
    EXPECT_TRUE(shapes<Text>(out.ax).empty());
    EXPECT_TRUE(out.schedule.empty());
}

TEST(Beacons, TwoBeaconsNameTowardsEachOtherAndHandleTheirLegTwice) {
    Json beacons = Json::array(
        {with_leg(beacon("PB 1", 0, 0), 90, 0, 30), with_leg(beacon("PB 2", 30, 0), 270, 0, 30)});
    auto out = annotate(beacons, {at(500, 500), at(500, 520), at(520, 520)});  // far away
    EXPECT_NEAR(test::text_artist(out.ax, "PB 1").at.x, origin.x + 9, 1e-6);
    EXPECT_NEAR(test::text_artist(out.ax, "PB 2").at.x, origin.x + 21, 1e-6);
    auto all = test::texts(out.ax);
    EXPECT_EQ(std::count(all.begin(), all.end(), "30.00m"), 2);
    EXPECT_EQ(all.size(), 8u) << "two names, and degrees, minutes and distance from each end";
}

TEST(Beacons, RecordsThatCannotBeDrawnAreInputErrors) {
    auto fails = [](Json record) {
        Json beacons = square_beacons();
        beacons[1] = std::move(record);
        EXPECT_THROW(annotate(beacons, square_ring), InputError) << beacons[1].dump();
    };
    fails(Json{{"beacon_name", "PB 2"}});
    fails(Json{{"beacon_name", "PB 2"},
               {"geometry", Json{{"type", "LineString"}, {"coordinates", Json::array()}}}});
    fails(Json{{"geometry", test::web_point(at(0, 40))}});
    fails(Json{{"beacon_name", 2}, {"geometry", test::web_point(at(0, 40))}});
    fails(with_leg(beacon("PB 2", 0, 40), 90, 0, "40"));
    std::vector<Json> schedule;
    Axes ax(1, 1);
    EXPECT_THROW(
        annotate_beacons(ax, Json::object(), plan_polygon(square_ring), origin, 1000, 10, schedule),
        InputError);
}

}  // namespace
}  // namespace plots
