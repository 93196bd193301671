// The window worked out for choosing a plot's surroundings is the one the renderer then draws,
// for plots of every size and for several papers.
#include "plan_window.hpp"
#include "support.hpp"

#include <plots/geometry.hpp>
#include <plots/plot.hpp>
#include <plots/setup.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace {

using kavara::server::Paper;
using plots::Json;

Json plan_input(const std::string& name) {
    std::ifstream in(kavara::test::source_dir() / "tests/data/plans" / (name + ".json"));
    return Json::parse(in);
}

const Json& target_of(const Json& input) {
    for (const auto& parcel : input["parcel_data"])
        if (parcel["parcel_number"] == input["selected_parcel_number"])
            return parcel;
    throw std::runtime_error("no target in the input");
}

kavara::server::PlanWindow window_for(const Json& input, const Paper& paper) {
    auto grid =
        plots::project_geometry(plots::Geometry::from_geojson(target_of(input)["geometry"]));
    auto b = grid.bounds();
    auto c = grid.centroid();
    return kavara::server::plan_window({b.minx, b.miny, b.maxx, b.maxy}, {c.x, c.y}, paper);
}

TEST(PlanWindow, MatchesTheRenderersLayout) {
    const std::vector<Paper> papers{{}, {190, 277}, {60, 40}, {1189, 841}};
    for (const char* name : {"small_residential", "large_irregular", "neighbours_all_sides"}) {
        Json input = plan_input(name);
        for (const auto& paper : papers) {
            SCOPED_TRACE(std::string(name) + " on " + std::to_string(paper.width_mm) + " x " +
                         std::to_string(paper.height_mm) + " mm");
            auto window = window_for(input, paper);
            auto plan = plots::compose_plot(
                input["parcel_data"], input["selected_parcel_number"], input["road_data"],
                {.max_width_mm = paper.width_mm, .max_height_mm = paper.height_mm});
            const auto& ax = plan.figure.axes();
            EXPECT_EQ(window.scale, plan.scale);
            EXPECT_NEAR(window.ground.minx, ax.xlim().low, 1e-6);
            EXPECT_NEAR(window.ground.maxx, ax.xlim().high, 1e-6);
            EXPECT_NEAR(window.ground.miny, ax.ylim().low, 1e-6);
            EXPECT_NEAR(window.ground.maxy, ax.ylim().high, 1e-6);
        }
    }
}

TEST(PlanWindow, CoversThePaperAtTheChosenScale) {
    // A 10 x 10 m plot with its 15 m margins needs 40 x 40 m: too tall for 1:250 on the default
    // paper (40 m is 160 mm), so 1:500, whose 190 x 160 mm cover 95 x 80 m around the centroid.
    auto window = kavara::server::plan_window({100, 200, 110, 210}, {104, 206}, Paper{});
    EXPECT_EQ(window.scale, 500);
    EXPECT_DOUBLE_EQ(window.ground.minx, 104 - 47.5);
    EXPECT_DOUBLE_EQ(window.ground.maxx, 104 + 47.5);
    EXPECT_DOUBLE_EQ(window.ground.miny, 206 - 40);
    EXPECT_DOUBLE_EQ(window.ground.maxy, 206 + 40);
    // On a wider, taller paper the same plot fits at 1:250.
    EXPECT_EQ(kavara::server::plan_window({100, 200, 110, 210}, {104, 206}, {190, 250}).scale, 250);
}

}  // namespace
