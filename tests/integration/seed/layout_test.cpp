#include "seed_database.hpp"

#include <gtest/gtest.h>

namespace kavara::test::seed {
namespace {

TEST(SeededLayout, EveryPlotIsValidAndInsideItsCadastralZone) {
    const auto& db = seeded();
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT")"), seeded_plots);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE NOT ST_IsValid("GEOMETRY"))"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" p JOIN "GIS"."CadZones" z
                           ON z."name" = p."CADZONE"
                           WHERE ST_CoveredBy(p."GEOMETRY", z."geometry"))"),
              seeded_plots);
}

TEST(SeededLayout, ZonesNestInDistrictsAndDistrictsInLgas) {
    const auto& db = seeded();
    EXPECT_GE(db.number(R"(SELECT count(*) FROM "GIS"."LGAs")"), 2);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."CadZones" z JOIN "GIS"."Districts" d
                           ON d."id" = z."district_id" WHERE ST_CoveredBy(z."geometry", d."geometry"))"),
              db.number(R"(SELECT count(*) FROM "GIS"."CadZones")"));
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."Districts" d JOIN "GIS"."LGAs" l
                           ON l."id" = d."lga_id" WHERE ST_CoveredBy(d."geometry", l."geometry"))"),
              db.number(R"(SELECT count(*) FROM "GIS"."Districts")"));

    SCOPED_TRACE("each area is split into several smaller ones that fill it");
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."LGAs" l WHERE (SELECT count(*)
                           FROM "GIS"."Districts" d WHERE d."lga_id" = l."id") < 2)"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."Districts" d WHERE (SELECT count(*)
                           FROM "GIS"."CadZones" z WHERE z."district_id" = d."id") < 2)"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."Districts" d
                           WHERE abs(ST_Area(d."geometry") - (SELECT sum(ST_Area(z."geometry"))
                               FROM "GIS"."CadZones" z WHERE z."district_id" = d."id"))
                             > 1e-6 * ST_Area(d."geometry"))"),
              0);
}

TEST(SeededLayout, LiesInUtmZone32NearTheChosenCentre) {
    const auto box = seeded().rows(R"(SELECT ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e)
        FROM (SELECT ST_Transform(ST_SetSRID(ST_Extent("GEOMETRY"), 3857), 4326) e
              FROM "GIS"."PLOT") t)")[0];
    EXPECT_GT(std::stod(box[0]), 7.3);
    EXPECT_GT(std::stod(box[1]), 8.9);
    EXPECT_LT(std::stod(box[2]), 7.6);
    EXPECT_LT(std::stod(box[3]), 9.2);
}

TEST(SeededLayout, PlotSizesAndShapesVary) {
    const auto& db = seeded();
    EXPECT_GE(std::stod(db.value(R"(SELECT min("AREA_SYSTEM") FROM "GIS"."PLOT")")), 250.0);
    EXPECT_GE(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE "AREA_SYSTEM" >= 10000)"), 1);
    const double median = std::stod(db.value(
        R"(SELECT percentile_cont(0.5) WITHIN GROUP (ORDER BY "AREA_SYSTEM") FROM "GIS"."PLOT")"));
    EXPECT_GT(median, 400.0);
    EXPECT_LT(median, 2000.0);

    const long long many_sided = db.number(
        R"(SELECT count(*) FROM "GIS"."PLOT" WHERE ST_NPoints("GEOMETRY") - 1 BETWEEN 5 AND 8)");
    EXPECT_GE(many_sided, seeded_plots / 10);
    EXPECT_GE(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE ST_NPoints("GEOMETRY") = 5)"),
              1);

    SCOPED_TRACE("not a grid: plot edges point in many directions (a grid gives one or two)");
    EXPECT_GE(db.number(R"(SELECT count(DISTINCT round(degrees(ST_Azimuth(ST_PointN(r, 1),
                               ST_PointN(r, 2)))::numeric))
                           FROM (SELECT ST_ExteriorRing("GEOMETRY") r FROM "GIS"."PLOT") t)"),
              15);
}

TEST(SeededLayout, AreaSystemIsTheAreaInUtmSquareMetres) {
    EXPECT_LT(std::stod(seeded().value(R"(SELECT max(abs(ST_Area(ST_Transform("GEOMETRY", 26332))
                                           - "AREA_SYSTEM")) FROM "GIS"."PLOT")")),
              0.01);
}

TEST(SeededLayout, EveryPlotFrontsARoadCorridorWithoutEnteringOne) {
    const auto& db = seeded();
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" p WHERE NOT EXISTS (
                           SELECT 1 FROM "GIS"."ROADS" r WHERE r."KIND" = 'corridor'
                           AND ST_DWithin(p."GEOMETRY", r."GEOMETRY", 0.5)))"),
              0);
    // Plot corners are kept to the millimetre, so a sliver of a square metre may remain.
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" p JOIN "GIS"."ROADS" r
                           ON r."KIND" = 'corridor' AND p."GEOMETRY" && r."GEOMETRY"
                           WHERE ST_Area(ST_Intersection(p."GEOMETRY", r."GEOMETRY")) > 0.5)"),
              0);
}

TEST(SeededLayout, RoadsAreNamedCorridorsAndCentreLines) {
    const auto kinds = seeded().rows(R"(SELECT "KIND", ST_GeometryType("GEOMETRY"), count(*),
        sum((NOT ST_IsValid("GEOMETRY"))::int), sum((coalesce("NAME", '') = '')::int)
        FROM "GIS"."ROADS" GROUP BY 1, 2 ORDER BY 1, 2)");
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kinds[0][0], "centreline");
    EXPECT_EQ(kinds[0][1], "ST_LineString");
    EXPECT_EQ(kinds[1][0], "corridor");
    EXPECT_EQ(kinds[1][1], "ST_Polygon");
    EXPECT_EQ(kinds[0][2], kinds[1][2]) << "one centre line per corridor";
    for (const auto& kind : kinds) {
        EXPECT_EQ(kind[3], "0") << kind[0] << " invalid";
        EXPECT_EQ(kind[4], "0") << kind[0] << " unnamed";
    }
}

}  // namespace
}  // namespace kavara::test::seed
