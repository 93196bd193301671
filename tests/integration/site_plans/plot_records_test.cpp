// The renderer's records built from the database for the hand-made plots of fixture.sql: the
// target with its name, area and beacons, the neighbours and roads of the plan's window, and the
// corners standing in for beacons that were never recorded.
#include "site_plans/plot_records.hpp"
#include "site_plan_harness.hpp"
#include "support.hpp"

#include <plots/plot.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using kavara::test::run;
using plots::Json;
using plots::Paper;
using site_plans::PlotRecords;

std::optional<PlotRecords> records_of(std::int64_t plot_id, Paper paper = {}) {
    const auto& db = kavara::test::site_plans::fixture_database();
    host::database::Session session(kavara::test::site_plans::pool_for(db.url()));
    auto records = run(site_plans::load_plot_records(session, plot_id, paper));
    run(session.close());
    return records;
}

std::vector<Json> column(const Json& records, const char* key) {
    std::vector<Json> values;
    for (const auto& record : records)
        values.push_back(record.contains(key) ? record[key] : Json());
    return values;
}

TEST(PlotRecords, TargetCarriesItsNumberAreaAndBeaconsInBoundaryOrder) {
    auto records = records_of(101);
    ASSERT_TRUE(records);
    EXPECT_EQ(records->plot_no, "TP/101");
    EXPECT_TRUE(records->beacons_recorded);
    const Json& target = records->parcel_data.at(0);
    EXPECT_EQ(target["parcel_number"], 101);
    EXPECT_EQ(target["name"], "TP/101");
    EXPECT_EQ(target["area"].dump(), "1260.0");  // 1260 m², to two decimals
    EXPECT_EQ(target["geometry"]["type"], "Polygon");

    const Json& boundary = target["boundary"];
    EXPECT_EQ(column(boundary, "beacon_name"),
              (std::vector<Json>{"KB 1", "KB 2", "KB 3", "KB 4", "KB 5"}));
    // A to B due east, B to C south-east (a 3-4-5 triangle), C to D nearly south, D to E due
    // west and the closing leg E to A due north.
    EXPECT_EQ(column(boundary, "bearing_deg_to_next"), (std::vector<Json>{90, 143, 184, 270, 0}));
    EXPECT_EQ(column(boundary, "bearing_min_to_next"), (std::vector<Json>{0, 8, 46, 0, 0}));
    EXPECT_EQ(column(boundary, "distance_to_next"),
              (std::vector<Json>{30.0, 5.0, 36.12, 30.0, 40.0}));
}

TEST(PlotRecords, BeaconsAreWhereTheBeaconTableHasThem) {
    auto records = records_of(101);
    ASSERT_TRUE(records);
    const auto& db = kavara::test::site_plans::fixture_database();
    auto stored = db.rows(
        R"(SELECT ST_X(b."GEOMETRY")::text, ST_Y(b."GEOMETRY")::text FROM "GIS"."PLOT_BEACON" pb
           JOIN "GIS"."BEACON" b ON b."ID" = pb."BEACON_ID" WHERE pb."PLOT_ID" = 101
           ORDER BY pb."SEQ")");
    const Json& boundary = records->parcel_data[0]["boundary"];
    ASSERT_EQ(boundary.size(), stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const Json& point = boundary[i]["geometry"];
        EXPECT_EQ(point["type"], "Point");
        EXPECT_NEAR(point["coordinates"][0].get<double>(), std::stod(stored[i][0]), 1e-6);
        EXPECT_NEAR(point["coordinates"][1].get<double>(), std::stod(stored[i][1]), 1e-6);
    }
}

TEST(PlotRecords, SurroundingsAreThoseOfThePlansWindow) {
    auto records = records_of(101);
    ASSERT_TRUE(records);
    // 33 x 40 m with its margins is 1:500 on the default paper: 95 x 80 m of ground, which
    // reaches the neighbour to the east and the street to the south but not plot 103, 500 m off.
    EXPECT_EQ(records->window.scale, 500);
    EXPECT_NEAR(records->window.ground.maxx - records->window.ground.minx, 95, 1e-9);
    EXPECT_EQ(column(records->parcel_data, "parcel_number"), (std::vector<Json>{101, 102}));
    ASSERT_EQ(records->road_data.size(), 2u);
    EXPECT_EQ(records->road_data[0]["geometry"]["type"], "LineString");
    EXPECT_EQ(records->road_data[1]["geometry"]["type"], "Polygon");

    // A strip of paper 20 mm high needs 1:5000, at which its 1189 mm cover almost 6 km east and
    // west: every plot and road of the fixture.
    auto strip = records_of(101, {.width_mm = 1189, .height_mm = 20});
    ASSERT_TRUE(strip);
    EXPECT_EQ(strip->window.scale, 5000);
    EXPECT_EQ(column(strip->parcel_data, "parcel_number"), (std::vector<Json>{101, 102, 103, 105}));
    EXPECT_EQ(strip->road_data.size(), 3u);
}

TEST(PlotRecords, TheRendererDrawsTheWindowTheRecordsWereChosenFor) {
    auto records = records_of(101);
    ASSERT_TRUE(records);
    auto plan = plots::compose_plot(records->parcel_data, 101, records->road_data);
    EXPECT_EQ(plan.scale, records->window.scale);
    EXPECT_NEAR(plan.figure.axes().xlim().low, records->window.ground.minx, 0.01);
    EXPECT_NEAR(plan.figure.axes().ylim().high, records->window.ground.maxy, 0.01);
    // The leg of 5 m is under 15 mm at 1:500, so it is listed rather than labelled.
    ASSERT_EQ(plan.schedule.size(), 1u);
    EXPECT_EQ(plan.schedule[0].dump(),
              R"({"from":"KB 2","to":"KB 3","bearing":"143 8","distance":"5.00"})");
}

TEST(PlotRecords, CornersStandInForUnrecordedBeacons) {
    auto records = records_of(105);
    ASSERT_TRUE(records);
    EXPECT_FALSE(records->beacons_recorded);
    const Json& target = records->parcel_data.at(0);
    EXPECT_EQ(target["name"], "");  // no plot number
    EXPECT_EQ(target["area"].dump(), "600.0");
    // Stored anticlockwise from the south-east corner; recorded clockwise from the north-west
    // one, without the closing vertex, and unnamed.
    const Json& boundary = target["boundary"];
    EXPECT_EQ(column(boundary, "beacon_name"), (std::vector<Json>{"", "", "", ""}));
    EXPECT_EQ(column(boundary, "bearing_deg_to_next"), (std::vector<Json>{90, 180, 270, 0}));
    EXPECT_EQ(column(boundary, "distance_to_next"), (std::vector<Json>{30.0, 20.0, 30.0, 20.0}));
    const Json& north_west = boundary[0]["geometry"]["coordinates"];
    const Json& ring = target["geometry"]["coordinates"][0];
    EXPECT_NEAR(north_west[0].get<double>(), ring[2][0].get<double>(), 1e-6);
    EXPECT_NEAR(north_west[1].get<double>(), ring[2][1].get<double>(), 1e-6);
}

TEST(PlotRecords, UnknownPlotGivesNothing) {
    EXPECT_FALSE(records_of(999));
    EXPECT_FALSE(records_of(-1));
}

}  // namespace
