#include "seed_database.hpp"

#include <gtest/gtest.h>

namespace kavara::test::seed {
namespace {

TEST(SeededBeacons, OneBeaconStandsOnEachDistinctPlotCorner) {
    const auto& db = seeded();
    const char* corners = R"(SELECT DISTINCT (ST_DumpPoints(ST_ExteriorRing("GEOMETRY"))).geom AS g
                             FROM "GIS"."PLOT")";
    EXPECT_EQ(db.number(std::string("SELECT count(*) FROM (") + corners + ") c"),
              db.number(R"(SELECT count(*) FROM "GIS"."BEACON")"));
    EXPECT_EQ(db.number(std::string("SELECT count(*) FROM (") + corners +
                        R"() c WHERE NOT EXISTS (SELECT 1 FROM "GIS"."BEACON" b
                           WHERE b."GEOMETRY" ~= c.g))"),
              0);
    SCOPED_TRACE("corners closer than half a metre would have been one beacon");
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."BEACON" a JOIN "GIS"."BEACON" b
                           ON a."ID" < b."ID" AND ST_DWithin(a."GEOMETRY", b."GEOMETRY", 0.5))"),
              0);
}

TEST(SeededBeacons, NumbersAreUniqueAndInSurveyStyle) {
    const auto& db = seeded();
    EXPECT_EQ(db.number(R"(SELECT count(*) - count(DISTINCT "BEACON_NO") FROM "GIS"."BEACON")"), 0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."BEACON"
                           WHERE "BEACON_NO" !~ '^(PB|SC/[A-Z]{2}) [0-9]{5,}$')"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(DISTINCT left("BEACON_NO", 2)) FROM "GIS"."BEACON")"), 2);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."BEACON" WHERE "STATUS" NOT IN
                           ('Intact', 'Disturbed', 'Missing', 'Replaced') OR "REMARK" = '')"),
              0);
}

TEST(SeededBeacons, PlotBeaconsFollowEachBoundaryClockwiseFromTheNorthWest) {
    const auto& db = seeded();
    SCOPED_TRACE("SEQ n is vertex n of the plot's ring, and every vertex is listed once");
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" p
                           JOIN "GIS"."PLOT_BEACON" pb ON pb."PLOT_ID" = p."ID"
                           JOIN "GIS"."BEACON" b ON b."ID" = pb."BEACON_ID"
                           WHERE ST_PointN(ST_ExteriorRing(p."GEOMETRY"), pb."SEQ") ~= b."GEOMETRY")"),
              db.number(R"(SELECT count(*) FROM "GIS"."PLOT_BEACON")"));
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" p WHERE
                           (SELECT count(*) FROM "GIS"."PLOT_BEACON" WHERE "PLOT_ID" = p."ID")
                           <> ST_NPoints(p."GEOMETRY") - 1)"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT_BEACON" pb WHERE NOT EXISTS
                           (SELECT 1 FROM "GIS"."BEACON" b WHERE b."ID" = pb."BEACON_ID"))"),
              0);

    SCOPED_TRACE("clockwise in EPSG:26332");
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT"
                           WHERE NOT ST_IsPolygonCW(ST_Transform("GEOMETRY", 26332)))"),
              0);

    SCOPED_TRACE("the first beacon has the largest northing minus easting");
    EXPECT_EQ(db.number(R"(WITH corner AS (
                               SELECT pb."PLOT_ID", pb."SEQ", ST_Transform(b."GEOMETRY", 26332) g
                               FROM "GIS"."PLOT_BEACON" pb JOIN "GIS"."BEACON" b
                               ON b."ID" = pb."BEACON_ID"),
                           lead AS (
                               SELECT "PLOT_ID", "SEQ", ST_Y(g) - ST_X(g) AS nw,
                                      max(ST_Y(g) - ST_X(g)) OVER (PARTITION BY "PLOT_ID") AS best
                               FROM corner)
                           SELECT count(*) FROM lead WHERE "SEQ" = 1 AND nw < best - 0.002)"),
              0);
}

}  // namespace
}  // namespace kavara::test::seed
