#include "seed_database.hpp"

#include <gtest/gtest.h>

namespace kavara::test::seed {
namespace {

// Touching pairs of plots, with the length of boundary they have in common and the length of
// the segments both rings contain identically.
constexpr const char* neighbour_edges = R"(
    WITH segment AS (
        SELECT "ID" AS id, ST_AsBinary(ST_Normalize(s.geom)) AS k, ST_Length(s.geom) AS len
        FROM "GIS"."PLOT", ST_DumpSegments("GEOMETRY") s),
    identical AS (
        SELECT a.id AS a, b.id AS b, sum(a.len) AS len
        FROM segment a JOIN segment b ON a.k = b.k AND a.id < b.id GROUP BY 1, 2),
    touching AS (
        SELECT a."ID" AS a, b."ID" AS b,
               ST_Length(ST_Intersection(ST_Boundary(a."GEOMETRY"), ST_Boundary(b."GEOMETRY"))) AS len
        FROM "GIS"."PLOT" a JOIN "GIS"."PLOT" b
          ON a."ID" < b."ID" AND a."GEOMETRY" && b."GEOMETRY"
         AND ST_Intersects(a."GEOMETRY", b."GEOMETRY"))
    SELECT count(*) FILTER (WHERE t.len > 0),
           count(*) FILTER (WHERE abs(t.len - coalesce(i.len, 0)) > 1e-6)
    FROM touching t LEFT JOIN identical i USING (a, b))";

TEST(SeededTopology, NeighboursShareTheirCommonEdgesVertexForVertex) {
    const auto counts = seeded().rows(neighbour_edges)[0];
    // Plots of a block share about two edges each; a shared edge with a corner of one plot
    // missing from the other's ring shows up as a length difference.
    EXPECT_GE(std::stoll(counts[0]), seeded_plots);
    EXPECT_EQ(counts[1], "0");
}

TEST(SeededTopology, ACornerOnANeighboursBoundaryIsTheNeighboursCornerToo) {
    // A corner missing from one ring leaves a neighbour's corner in the middle of its edge, even
    // when rounding makes the two edges cross by a hair instead of sharing a length.
    EXPECT_EQ(seeded().number(R"(
        WITH corner AS (
            SELECT DISTINCT p."ID" AS id, d.geom AS g
            FROM "GIS"."PLOT" p, ST_DumpPoints(ST_ExteriorRing(p."GEOMETRY")) d)
        SELECT count(*) FROM corner c JOIN "GIS"."PLOT" other
          ON other."ID" <> c.id AND other."GEOMETRY" && ST_Expand(c.g, 0.01)
         AND ST_DWithin(ST_ExteriorRing(other."GEOMETRY"), c.g, 0.001)
        WHERE NOT EXISTS (SELECT 1 FROM ST_DumpPoints(ST_ExteriorRing(other."GEOMETRY")) o
                          WHERE o.geom ~= c.g))"),
              0);
}

TEST(SeededTopology, NoSegmentBelongsToMoreThanTwoPlots) {
    EXPECT_EQ(seeded().number(R"(SELECT count(*) FROM (
        SELECT ST_AsBinary(ST_Normalize(s.geom)) FROM "GIS"."PLOT", ST_DumpSegments("GEOMETRY") s
        GROUP BY 1 HAVING count(*) > 2) t)"),
              0);
}

TEST(SeededTopology, PlotsDoNotOverlap) {
    EXPECT_EQ(seeded().number(R"(SELECT count(*) FROM "GIS"."PLOT" a JOIN "GIS"."PLOT" b
        ON a."ID" < b."ID" AND a."GEOMETRY" && b."GEOMETRY"
        WHERE ST_Relate(a."GEOMETRY", b."GEOMETRY", '2********'))"),
              0);
}

}  // namespace
}  // namespace kavara::test::seed
