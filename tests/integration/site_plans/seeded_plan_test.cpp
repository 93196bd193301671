// A plan of a plot of the shared seeded database, read only: its recorded beacons, neighbours
// and streets reach the renderer, and every format answers.
#include "site_plan_harness.hpp"
#include "site_plans/plot_records.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace kavara::test::site_plans;

TEST(SeededPlan, APlotOfTheSeededAreaRenders) {
    // A plot well inside the developed area, so that it has neighbours on every side.
    auto ids = kavara::test::sql(
        R"(SELECT "ID" FROM "GIS"."PLOT" ORDER BY "ID" OFFSET (SELECT count(*) / 2 FROM "GIS"."PLOT") LIMIT 1)");
    ASSERT_EQ(ids.size(), 1u) << "the shared database is not seeded";
    const std::int64_t plot_id = std::stoll(ids[0]);
    const auto beacon_count = std::stoul(kavara::test::sql(
        R"(SELECT count(*) FROM "GIS"."PLOT_BEACON" WHERE "PLOT_ID" = )" + ids[0])[0]);

    host::database::Session session(pool_for(kavara::test::database_url()));
    auto records = kavara::test::run(site_plans::load_plot_records(session, plot_id, {}));
    kavara::test::run(session.close());
    ASSERT_TRUE(records);
    EXPECT_TRUE(records->beacons_recorded);
    const auto& target = records->parcel_data[0];
    EXPECT_FALSE(target["name"].get<std::string>().empty());
    EXPECT_EQ(target["boundary"].size(), beacon_count);
    EXPECT_GT(records->parcel_data.size(), 3u);
    EXPECT_FALSE(records->road_data.empty());

    route_requests_to(kavara::test::database_url());
    const std::string path = "/plots/site-plan/" + ids[0];
    auto json = get(path);
    ASSERT_EQ(json.status, 200u) << json.body.view();
    EXPECT_EQ(json_body(json)["data"]["scale"], records->window.scale);
    EXPECT_EQ(get(path + ".png").status, 200u);
    EXPECT_EQ(get(path + ".pdf").status, 200u);
}

}  // namespace
