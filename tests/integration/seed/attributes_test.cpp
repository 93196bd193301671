#include "seed_database.hpp"

#include <gtest/gtest.h>

namespace kavara::test::seed {
namespace {

TEST(SeededAttributes, PlotsUseTheLandOfficeVocabulary) {
    const auto& db = seeded();
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE "STATUS" NOT IN
        ('Allocated', 'Vacant', 'Developed', 'Under Development', 'Revoked'))"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE "GENERAL_LU" NOT IN
        ('Residential', 'Commercial', 'Institutional', 'Industrial', 'Recreational', 'Mixed Use'))"),
              0);
    EXPECT_GE(db.number(R"(SELECT count(DISTINCT "STATUS") FROM "GIS"."PLOT")"), 4);
    EXPECT_GE(db.number(R"(SELECT count(DISTINCT "GENERAL_LU") FROM "GIS"."PLOT")"), 4);
    EXPECT_GE(db.number(R"(SELECT count(DISTINCT "DETAIL_LU") FROM "GIS"."PLOT")"), 10);
    EXPECT_EQ(
        db.number(R"(SELECT count(*) FROM "GIS"."PLOT" WHERE coalesce("DETAIL_LU", '') = '')"), 0);
    SCOPED_TRACE("a detailed use belongs to one general use");
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM (SELECT "DETAIL_LU" FROM "GIS"."PLOT"
                           GROUP BY 1 HAVING count(DISTINCT "GENERAL_LU") > 1) t)"),
              0);
}

TEST(SeededAttributes, PlotNumbersBelongToTheirZone) {
    const auto& db = seeded();
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT"
                           WHERE "PLOT_NO" !~ '^[A-Z]{2}-[0-9]{2}/[0-9]+$'
                              OR "PLOT_NO" NOT LIKE "CADZONE" || '/%')"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) - count(DISTINCT "PLOT_NO") FROM "GIS"."PLOT")"), 0);
    EXPECT_EQ(db.number(R"(SELECT count(*) - count(DISTINCT "name") FROM "GIS"."CadZones")"), 0);
}

TEST(SeededAttributes, FileNumbersAreUniqueAndOnlyVacantLandHasNone) {
    const auto& db = seeded();
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT"
                           WHERE "file_no" !~ '^KV/[A-Z]{3}/(19|20)[0-9]{2}/[0-9]{5,}$')"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT"
                           WHERE ("file_no" IS NULL) <> ("STATUS" = 'Vacant'))"),
              0);
    EXPECT_EQ(db.number(R"(SELECT count("file_no") - count(DISTINCT "file_no") FROM "GIS"."PLOT")"),
              0);
}

}  // namespace
}  // namespace kavara::test::seed
