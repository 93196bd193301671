#include "seed_database.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kavara::test::seed {
namespace {

struct Table {
    const char* name;
    const char* order;
};

// One checksum per table over its rows in key order.
std::vector<std::string> checksums(const ScratchDatabase& db) {
    constexpr Table tables[] = {{R"("GIS"."PLOT")", R"("ID")"},
                                {R"("GIS"."BEACON")", R"("ID")"},
                                {R"("GIS"."PLOT_BEACON")", R"("PLOT_ID", "SEQ")"},
                                {R"("GIS"."ROADS")", R"("ID")"},
                                {R"("GIS"."CadZones")", R"("id")"},
                                {R"("GIS"."Districts")", R"("id")"},
                                {R"("GIS"."LGAs")", R"("id")"}};
    std::vector<std::string> sums;
    for (const Table& table : tables) {
        sums.push_back(db.value(std::string("SELECT md5(string_agg(t::text, '|' ORDER BY ") +
                                table.order + ")) FROM " + table.name + " t"));
    }
    return sums;
}

long long plot_count(const ScratchDatabase& db) {
    return db.number(R"(SELECT count(*) FROM "GIS"."PLOT")");
}

TEST(SeedRerun, SameSizeAndSeedGiveTheSameDataAndReplaceIt) {
    ScratchDatabase db("rerun");
    ASSERT_EQ(seed_into(db, 300, 7).status, 0);
    const auto first = checksums(db);
    ASSERT_EQ(seed_into(db, 300, 7).status, 0);
    EXPECT_EQ(plot_count(db), 300) << "a second run replaces the data";
    EXPECT_EQ(checksums(db), first);

    SCOPED_TRACE("another seed gives another area");
    ASSERT_EQ(seed_into(db, 300, 8).status, 0);
    EXPECT_EQ(plot_count(db), 300);
    EXPECT_NE(checksums(db)[0], first[0]);

    SCOPED_TRACE("a smaller run leaves nothing of the larger one behind");
    ASSERT_EQ(seed_into(db, 120, 7).status, 0);
    EXPECT_EQ(plot_count(db), 120);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM "GIS"."PLOT_BEACON" WHERE "PLOT_ID" > 120)"), 0);
    EXPECT_EQ(db.number(R"(SELECT max("ID") FROM "GIS"."BEACON")"),
              db.number(R"(SELECT count(*) FROM "GIS"."BEACON")"));
}

TEST(SeedRerun, AFailedLoadLeavesTheEarlierDataAndIndexesAlone) {
    ScratchDatabase db("failed");
    ASSERT_EQ(seed_into(db, 100, 7).status, 0);
    const auto before = checksums(db);
    // Large plots come with the next run's first block or two; the check rejects them mid-COPY.
    db.rows(R"(ALTER TABLE "GIS"."PLOT" ADD CONSTRAINT "small_plots" CHECK ("AREA_SYSTEM" < 1500)
               NOT VALID)");
    const CommandResult result = seed_into(db, 3000, 9);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("small_plots"), std::string::npos) << result.out;
    EXPECT_EQ(checksums(db), before);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM pg_indexes WHERE schemaname = 'GIS'
                           AND indexdef LIKE '% USING gist %')"),
              6);
}

TEST(SeedRerun, LeavesIndexesAndPlannerStatisticsInPlace) {
    const auto& db = seeded();
    EXPECT_EQ(db.value(R"(SELECT ST_EstimatedExtent('GIS', 'PLOT', 'GEOMETRY') IS NOT NULL)"), "t");
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM pg_indexes WHERE schemaname = 'GIS'
                           AND indexdef LIKE '% USING gist %')"),
              6);
    EXPECT_EQ(db.number(R"(SELECT count(*) FROM pg_stat_user_tables WHERE schemaname = 'GIS'
                           AND last_analyze IS NULL)"),
              0);
}

}  // namespace
}  // namespace kavara::test::seed
