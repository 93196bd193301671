// Composition of a plan: finding the target, the window, neighbours, roads, title and area.
#include "plot_support.hpp"

#include <host/logging.hpp>
#include <plots/errors.hpp>
#include <plots/plot.hpp>

#include <gtest/gtest.h>

namespace plots {
namespace {

using test::shapes;

constexpr Point origin{324000, 1000500};

Point at(double dx, double dy) {
    return {origin.x + dx, origin.y + dy};
}

Json parcel(Json id, std::vector<Point> ring) {
    return Json{{"parcel_number", std::move(id)}, {"geometry", test::web_polygon(ring)}};
}

Json target(Json id, double side = 10) {
    Json record = parcel(std::move(id), test::square(origin, side));
    record["name"] = "Plot 12";
    return record;
}

Json road(Json geometry) {
    return Json{{"geometry", std::move(geometry)}};
}

Json web_line(std::vector<Point> plan) {
    Json coords = Json::array();
    for (const auto& p : plan)
        coords.push_back(test::web_point(p)["coordinates"]);
    return Json{{"type", "LineString"}, {"coordinates", coords}};
}

std::vector<test::Found<FilledPolygon>> neighbours(const Plan& plan) {
    std::vector<test::Found<FilledPolygon>> out;
    for (const auto& found : shapes<FilledPolygon>(plan.figure.axes())) {
        if (found.zorder == 3)
            out.push_back(found);
    }
    return out;
}

TEST(Composition, AMissingTargetIsAValueError) {
    Json parcels = Json::array({target(12)});
    try {
        compose_plot(parcels, Json("12"), nullptr);
        FAIL() << "the text 12 matched the number 12";
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "Parcel with parcel_number=12 not found.");
    }
    Json named = Json::array(
        {Json{{"id", "A-1"}, {"geometry", test::web_polygon(test::square(origin, 5))}}});
    try {
        compose_plot(named, Json("B-2"), nullptr, {.columnname = "id"});
        FAIL();
    } catch (const ValueError& error) {
        EXPECT_STREQ(error.what(), "Parcel with id=B-2 not found.");
    }
    EXPECT_NO_THROW(compose_plot(parcels, Json(12.0), nullptr));
}

TEST(Composition, TheWindowIsThePaperAtScaleAroundTheCentroid) {
    testing::internal::CaptureStdout();
    Plan plan = compose_plot(Json::array({target(12)}), Json(12), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Recommended scale: 1:500\n");
    EXPECT_EQ(plan.scale, 500) << "40 x 40 m of survey on 156.8 mm of height";
    const Axes& ax = plan.figure.axes();
    EXPECT_NEAR(ax.xlim().low, origin.x + 5 - 47.5, 1e-3);
    EXPECT_NEAR(ax.xlim().high, origin.x + 5 + 47.5, 1e-3);
    EXPECT_NEAR(ax.ylim().low, origin.y + 5 - 40, 1e-3);
    EXPECT_NEAR(ax.ylim().high, origin.y + 5 + 40, 1e-3);
    EXPECT_EQ(plan.paper_size, (std::pair<double, double>{190, 160}));
    EXPECT_DOUBLE_EQ(plan.figure.width_in(), 190 / 25.4);
}

TEST(Composition, TheFirstMatchIsTheTargetAndNoMatchIsANeighbour) {
    Json second = target(12);
    second["name"] = "Duplicate";
    Json parcels = Json::array({parcel(11, test::square(at(-10, 0), 10)), target(12.0), second,
                                parcel(13, test::square(at(10, 0), 10))});
    Plan plan = compose_plot(parcels, Json(12), nullptr);
    EXPECT_EQ(neighbours(plan).size(), 2u);
    auto all = test::texts(plan.figure.axes());
    EXPECT_NE(std::find(all.begin(), all.end(), "Plot 12"), all.end());
    EXPECT_EQ(std::find(all.begin(), all.end(), "Duplicate"), all.end());
}

TEST(Composition, NeighboursAreDrawnWhenTheyReachTheWindow) {
    // The window is 95 x 80 m around (5, 5): it runs from x = -42.5 to 52.5.
    Json parcels =
        Json::array({target(12), parcel(1, test::square(at(52.4, 0), 10)),  // just reaches in
                     parcel(2, test::square(at(60, 0), 10)),                // outside
                     parcel(3, test::square(at(-50, -10), 20))});           // crosses the left edge
    Plan plan = compose_plot(parcels, Json(12), nullptr);
    auto drawn = neighbours(plan);
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(drawn[0].shape->face, hex_color("#f5f5f5"));
    EXPECT_EQ(drawn[0].shape->edge, hex_color("#888888"));
    EXPECT_EQ(drawn[0].shape->edge_width_pt, 0.5);
    EXPECT_LT(drawn[1].shape->ring[0].x, plan.figure.axes().xlim().low) << "not clipped";
}

TEST(Composition, RoadsAreClippedToTheWindow) {
    Json roads = Json::array({road(web_line({at(-500, 20), at(500, 20)})),  // crosses the window
                              road(web_line({at(-500, 900), at(500, 900)}))});  // far outside
    Plan plan = compose_plot(Json::array({target(12)}), Json(12), roads);
    auto lines = shapes<Polyline>(plan.figure.axes());
    std::vector<const Polyline*> road_lines;
    for (const auto& found : lines) {
        if (found.shape->alpha < 1)
            road_lines.push_back(found.shape);
    }
    ASSERT_EQ(road_lines.size(), 1u);
    const Axes& ax = plan.figure.axes();
    for (const auto& p : road_lines[0]->points) {
        EXPECT_GE(p.x, ax.xlim().low - 1e-6);
        EXPECT_LE(p.x, ax.xlim().high + 1e-6);
    }
    EXPECT_NO_THROW(compose_plot(Json::array({target(12)}), Json(12), Json::array()));
}

TEST(Composition, TitleAboveAndAreaBelowTheCentroid) {
    Json record = target(12);
    record["area"] = 1234.5;
    Plan plan = compose_plot(Json::array({record}), Json(12), nullptr);
    const Text& title = test::text_artist(plan.figure.axes(), "Plot 12");
    EXPECT_NEAR(title.at.x, origin.x + 5, 1e-6);
    EXPECT_NEAR(title.at.y, origin.y + 5 + 1.0, 1e-6) << "2 mm at 1:500";
    EXPECT_EQ(title.size_pt, 12);
    EXPECT_TRUE(title.bold);
    EXPECT_EQ(title.va, VAlign::bottom);
    const Text& area = test::text_artist(plan.figure.axes(), "1234.5 m²");
    EXPECT_NEAR(area.at.y, origin.y + 5 - 0.75, 1e-6);
    EXPECT_EQ(area.size_pt, 8);
    EXPECT_EQ(area.va, VAlign::top);

    Plan no_area = compose_plot(Json::array({target(12)}), Json(12), nullptr);
    test::text_artist(no_area.figure.axes(), "0 m²");
}

TEST(Composition, CoarserScalesUseSmallerText) {
    auto title_size = [](double side) {
        Plan plan = compose_plot(Json::array({target(12, side)}), Json(12), nullptr);
        return std::pair{plan.scale, test::text_artist(plan.figure.axes(), "Plot 12").size_pt};
    };
    EXPECT_EQ(title_size(200), (std::pair{1500, 12.0}));
    EXPECT_EQ(title_size(270), (std::pair{2000, 11.0}));
    EXPECT_EQ(title_size(570), (std::pair{5000, 10.0}));
}

TEST(Composition, TheTargetIsAPinkPolygonWithARedEdge) {
    Plan plan = compose_plot(Json::array({target(12)}), Json(12), nullptr);
    auto fills = shapes<FilledPolygon>(plan.figure.axes());
    ASSERT_EQ(fills.size(), 1u);
    EXPECT_EQ(fills[0].zorder, 5);
    EXPECT_EQ(fills[0].shape->face, (Color{1.0, 0.9, 0.9, 1.0}));
    EXPECT_EQ(fills[0].shape->edge, colors::red);
    EXPECT_EQ(fills[0].shape->edge_width_pt, 1.5);
}

TEST(Composition, LogsTheTargetItDraws) {
    host::logging::Capture capture;
    compose_plot(Json::array({target("A/7")}), Json("A/7"), nullptr);
    auto lines = capture.messages("kavara", spdlog::level::info);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Generating plot for parcel_number=A/7"),
              lines.end());
}

TEST(Composition, RecordsThatCannotBeDrawnAreInputErrors) {
    auto fails = [](Json parcels, Json roads = nullptr) {
        EXPECT_THROW(compose_plot(parcels, Json(12), roads), InputError) << parcels.dump();
    };
    Json nameless = target(12);
    nameless.erase("name");
    fails(Json::array({nameless}));
    fails(
        Json::array({target(12), Json{{"geometry", test::web_polygon(test::square(origin, 5))}}}));
    fails(Json::array({Json{{"parcel_number", 12}}}));
    Json unclosed = target(12);
    unclosed["geometry"]["coordinates"][0].erase(4);
    fails(Json::array({unclosed}));
    Json multi = target(12);
    multi["geometry"] = Json{{"type", "MultiPolygon"},
                             {"coordinates", Json::array({multi["geometry"]["coordinates"]})}};
    fails(Json::array({multi}));
    Json near_multi = multi;
    near_multi["parcel_number"] = 13;
    fails(Json::array({target(12), near_multi}));
    fails(Json::object());
    fails(Json::array({target(12)}), Json::object());
    fails(Json::array({target(12)}), Json::array({Json{{"name", "no geometry"}}}));
    EXPECT_THROW(compose_plot(Json::array({target(12)}), Json(12), nullptr, {.max_width_mm = 0}),
                 InputError);
}

TEST(Composition, AFarMultiPolygonNeighbourIsNotAnError) {
    Json far = target(13);
    far["geometry"] =
        Json{{"type", "MultiPolygon"},
             {"coordinates",
              Json::array({test::web_polygon(test::square(at(900, 0), 5))["coordinates"]})}};
    Plan plan = compose_plot(Json::array({target(12), far}), Json(12), nullptr);
    EXPECT_TRUE(neighbours(plan).empty());
}

TEST(Composition, TheScheduleComesBackInBoundaryOrder) {
    Json input = test::plan_input("large_irregular");
    Plan plan =
        compose_plot(input["parcel_data"], input["selected_parcel_number"], input["road_data"]);
    EXPECT_EQ(plan.scale, 1500);
    std::vector<std::string> legs;
    for (const auto& entry : plan.schedule) {
        legs.push_back(entry["from"].get<std::string>() + " > " + entry["to"].get<std::string>());
    }
    EXPECT_EQ(legs, (std::vector<std::string>{"SC/AB 103 > SC/AB 104", "SC/AB 106 > SC/AB 107",
                                              "SC/AB 109 > SC/AB 110", "SC/AB 112 > SC/AB 113"}));
}

}  // namespace
}  // namespace plots
