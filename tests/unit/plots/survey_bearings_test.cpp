// Grid bearings and distances of boundary legs, and the order in which a ring's corners are
// recorded as a boundary.
#include <plots/survey_bearings.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace plots {
namespace {

constexpr GridPoint origin{328800, 1000000};

// The point `metres` from the origin along the bearing `degrees` (clockwise from grid north).
GridPoint along(double degrees, double metres) {
    double radians = degrees * std::numbers::pi / 180;
    return {origin.easting + metres * std::sin(radians),
            origin.northing + metres * std::cos(radians)};
}

Bearing bearing_to(GridPoint to) {
    return grid_bearing(origin, to);
}

TEST(GridBearing, CardinalDirectionsAndQuadrants) {
    EXPECT_EQ(bearing_to({origin.easting, origin.northing + 10}), (Bearing{0, 0}));
    EXPECT_EQ(bearing_to({origin.easting + 10, origin.northing}), (Bearing{90, 0}));
    EXPECT_EQ(bearing_to({origin.easting, origin.northing - 10}), (Bearing{180, 0}));
    EXPECT_EQ(bearing_to({origin.easting - 10, origin.northing}), (Bearing{270, 0}));
    // A 3-4-5 triangle in each quadrant: 36° 52.2' off the northing axis.
    EXPECT_EQ(bearing_to({origin.easting + 3, origin.northing + 4}), (Bearing{36, 52}));
    EXPECT_EQ(bearing_to({origin.easting + 3, origin.northing - 4}), (Bearing{143, 8}));
    EXPECT_EQ(bearing_to({origin.easting - 3, origin.northing - 4}), (Bearing{216, 52}));
    EXPECT_EQ(bearing_to({origin.easting - 3, origin.northing + 4}), (Bearing{323, 8}));
}

TEST(GridBearing, RoundsToTheNearestMinuteAndCarries) {
    EXPECT_EQ(bearing_to(along(12 + 29.4 / 60, 50)), (Bearing{12, 29}));
    EXPECT_EQ(bearing_to(along(12 + 29.6 / 60, 50)), (Bearing{12, 30}));
    // 59.6' is a whole degree more, never 60'.
    EXPECT_EQ(bearing_to(along(89 + 59.6 / 60, 50)), (Bearing{90, 0}));
    EXPECT_EQ(bearing_to(along(359 + 59.4 / 60, 50)), (Bearing{359, 59}));
    // Just west of north comes round to 0° 0', never 360° 0'.
    EXPECT_EQ(bearing_to(along(359 + 59.7 / 60, 50)), (Bearing{0, 0}));
    EXPECT_EQ(bearing_to(along(-0.000001, 50)), (Bearing{0, 0}));
}

TEST(GridBearing, LegOfNoLengthPointsNorth) {
    EXPECT_EQ(bearing_to(origin), (Bearing{0, 0}));
}

TEST(LegDistance, MetresToTheCentimetre) {
    EXPECT_DOUBLE_EQ(leg_distance(origin, {origin.easting + 3, origin.northing + 4}), 5.0);
    EXPECT_DOUBLE_EQ(leg_distance(origin, along(200, 12.345678)), 12.35);
    EXPECT_DOUBLE_EQ(leg_distance(origin, along(200, 12.344)), 12.34);
    EXPECT_DOUBLE_EQ(leg_distance(origin, origin), 0.0);
}

TEST(BoundaryLegs, EveryBeaconStartsOneLegAndTheLastClosesTheBoundary) {
    // 30 x 40 m, clockwise from the north-west corner.
    std::vector<GridPoint> beacons{{0, 40}, {30, 40}, {30, 0}, {0, 0}};
    auto legs = boundary_legs(beacons);
    ASSERT_EQ(legs.size(), 4u);
    EXPECT_EQ(legs[0].bearing, (Bearing{90, 0}));
    EXPECT_EQ(legs[1].bearing, (Bearing{180, 0}));
    EXPECT_EQ(legs[2].bearing, (Bearing{270, 0}));
    EXPECT_EQ(legs[3].bearing, (Bearing{0, 0}));  // the closing leg, back to the first beacon
    EXPECT_DOUBLE_EQ(legs[0].distance_m, 30);
    EXPECT_DOUBLE_EQ(legs[3].distance_m, 40);

    EXPECT_TRUE(boundary_legs({}).empty());
    std::vector<GridPoint> alone{origin};
    auto single = boundary_legs(alone);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_DOUBLE_EQ(single[0].distance_m, 0);
}

std::vector<std::size_t> order_of(std::vector<GridPoint> ring) {
    return clockwise_from_north_west(ring);
}

TEST(BoundaryOrder, ClockwiseFromTheNorthWestCorner) {
    // Already clockwise from the north-west corner: kept.
    EXPECT_EQ(order_of({{0, 40}, {30, 40}, {30, 0}, {0, 0}}),
              (std::vector<std::size_t>{0, 1, 2, 3}));
    // Clockwise from another corner: rotated.
    EXPECT_EQ(order_of({{30, 0}, {0, 0}, {0, 40}, {30, 40}}),
              (std::vector<std::size_t>{2, 3, 0, 1}));
    // Anticlockwise from the south-east corner: reversed and rotated.
    EXPECT_EQ(order_of({{30, 0}, {30, 40}, {0, 40}, {0, 0}}),
              (std::vector<std::size_t>{2, 1, 0, 3}));
    // A closed ring leaves out its closing vertex.
    EXPECT_EQ(order_of({{0, 0}, {0, 40}, {30, 40}, {30, 0}, {0, 0}}),
              (std::vector<std::size_t>{1, 2, 3, 0}));
    EXPECT_TRUE(order_of({}).empty());
}

TEST(BoundaryOrder, TiesGoToTheLargerNorthing) {
    // A diamond whose north-west edge runs at 45°: (0, 10) and (10, 20) have the same northing
    // minus easting; the northern one starts the boundary.
    EXPECT_EQ(order_of({{0, 10}, {10, 20}, {20, 10}, {10, 0}}),
              (std::vector<std::size_t>{1, 2, 3, 0}));
}

}  // namespace
}  // namespace plots
