// The one layout of a plan: the scale chosen for the plot and the window of ground the paper
// covers, which the renderer draws and the records lookup chooses the surroundings by.
#include "plot_support.hpp"

#include <plots/plan_window.hpp>
#include <plots/plot.hpp>
#include <plots/setup.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plots {
namespace {

const Json& target_of(const Json& input) {
    for (const auto& parcel : input["parcel_data"])
        if (parcel["parcel_number"] == input["selected_parcel_number"])
            return parcel;
    throw std::runtime_error("no target in the input");
}

PlanWindow window_for(const Json& input, const Paper& paper) {
    auto grid = project_geometry(Geometry::from_geojson(target_of(input)["geometry"]));
    return plan_window(grid.bounds(), grid.centroid(), paper);
}

TEST(PlanWindow, CoversThePaperAtTheChosenScale) {
    // A 10 x 10 m plot with its 15 m margins needs 40 x 40 m: too tall for 1:250 on the default
    // paper (40 m is 160 mm), so 1:500, whose 190 x 160 mm cover 95 x 80 m around the centroid.
    auto window = plan_window({100, 200, 110, 210}, {104, 206}, DEFAULT_PAPER);
    EXPECT_EQ(window.scale, 500);
    EXPECT_DOUBLE_EQ(window.ground.minx, 104 - 47.5);
    EXPECT_DOUBLE_EQ(window.ground.maxx, 104 + 47.5);
    EXPECT_DOUBLE_EQ(window.ground.miny, 206 - 40);
    EXPECT_DOUBLE_EQ(window.ground.maxy, 206 + 40);
    // On a wider, taller paper the same plot fits at 1:250.
    EXPECT_EQ(plan_window({100, 200, 110, 210}, {104, 206}, {190, 250}).scale, 250);
}

TEST(PlanWindow, IsTheWindowThePlanIsDrawnIn) {
    const std::vector<Paper> papers{DEFAULT_PAPER, {190, 277}, {60, 40}, {1189, 841}};
    for (const char* name : {"small_residential", "large_irregular", "neighbours_all_sides"}) {
        Json input = test::plan_input(name);
        for (const auto& paper : papers) {
            SCOPED_TRACE(std::string(name) + " on " + std::to_string(paper.width_mm) + " x " +
                         std::to_string(paper.height_mm) + " mm");
            auto window = window_for(input, paper);
            auto plan = compose_plot(
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

}  // namespace
}  // namespace plots
