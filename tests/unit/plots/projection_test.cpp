// Load-time setup and the EPSG:3857 -> EPSG:26332 projection.
#include "plot_support.hpp"

#include <host/logging.hpp>
#include <plots/errors.hpp>
#include <plots/setup.hpp>

#include <gtest/gtest.h>

#include <thread>

namespace plots {
namespace {

using test::geometry;

// That the first load logs "Loaded plots module" is checked in a fresh process by the tool's test.
TEST(Setup, PicksThePreferredSerifFaceAndLoadsOnce) {
    const plots::Setup& first = load();
    host::logging::Capture capture;
    std::thread other([] { load(); });
    other.join();
    EXPECT_EQ(&load(), &first);
    EXPECT_EQ(first.serif_family, "DejaVu Serif");  // installed by scripts/deps
    EXPECT_TRUE(capture.messages("kavara", spdlog::level::info).empty()) << "loaded twice";
}

TEST(Projection, GivesEastingThenNorthing) {
    // The reference result agrees with PostGIS ST_Transform to the millimetre.
    Point p =
        project_geometry(geometry(R"({"type":"Point","coordinates":[835000,1010000]})")).as_point();
    EXPECT_NEAR(p.x, 335306.490, 0.001);
    EXPECT_NEAR(p.y, 998973.823, 0.001);
}

TEST(Projection, KeepsKindAndStructure) {
    auto holed = geometry(R"({"type":"Polygon","coordinates":[
        [[823000,1011000],[823100,1011000],[823100,1011100],[823000,1011100],[823000,1011000]],
        [[823040,1011040],[823060,1011040],[823060,1011060],[823040,1011040]]]})");
    auto projected = project_geometry(holed);
    EXPECT_EQ(projected.type_name(), "Polygon");
    EXPECT_EQ(projected.interior_ring_count(), 1u);
    EXPECT_EQ(projected.exterior_ring().size(), 5u);
    EXPECT_EQ(holed.exterior_ring()[1], (Point{823100, 1011000})) << "the input was modified";

    auto multi = project_geometry(geometry(R"({"type":"MultiPolygon","coordinates":[
        [[[823000,1011000],[823010,1011000],[823010,1011010],[823000,1011000]]],
        [[[825000,1011000],[825010,1011000],[825010,1011010],[825000,1011000]]]]})"));
    auto parts = multi.parts();
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_LT(parts[0].centroid().x + 1900, parts[1].centroid().x) << "parts reordered";
}

TEST(Projection, EmptyStaysEmptyOfTheSameKind) {
    for (const char* kind : {"Polygon", "LineString", "MultiPolygon"}) {
        auto projected = project_geometry(
            geometry(std::string(R"({"type":")") + kind + R"(","coordinates":[]})"));
        EXPECT_TRUE(projected.is_empty());
        EXPECT_EQ(projected.type_name(), kind);
    }
}

TEST(Projection, BadInputIsAnInputError) {
    EXPECT_THROW(geometry(R"({"type":"Polygon","coordinates":[[[0,0],[1,0],[1,1],[0,2]]]})"),
                 InputError);  // unclosed ring
    EXPECT_THROW(geometry(R"({"type":"Polygon"})"), InputError);
    EXPECT_THROW(Geometry::from_geojson(Json("POINT (1 2)")), InputError);
}

TEST(Projection, APositionOffTheEarthIsAnInputErrorNamingIt) {
    // PROJ would wrap these round to some place and answer it.
    for (const char* vertex : {"[1e308,1011000]", "[-20037509,1011000]", "[823000,2.1e7]"}) {
        auto line =
            geometry(std::string(R"({"type":"LineString","coordinates":[[823000,1011000],)") +
                     vertex + "]}");
        try {
            project_geometry(line);
            ADD_FAILURE() << "projected " << vertex;
        } catch (const InputError& e) {
            EXPECT_NE(std::string(e.what()).find("lies outside EPSG:3857"), std::string::npos)
                << e.what();
        }
    }
    // The edge of the world is still on it.
    EXPECT_NO_THROW(
        project_geometry(geometry(R"({"type":"Point","coordinates":[20037508.34,0]})")));
}

TEST(Projection, EachThreadUsesItsOwnTransformation) {
    auto web =
        geometry(R"({"type":"LineString","coordinates":[[823000,1011000],[824000,1012000]]})");
    auto expected = project_geometry(web).vertices();
    std::vector<std::vector<Point>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&result] {
            auto line = geometry(
                R"({"type":"LineString","coordinates":[[823000,1011000],[824000,1012000]]})");
            for (int i = 0; i < 50; ++i)
                result = project_geometry(line).vertices();
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (const auto& result : results)
        EXPECT_EQ(result, expected);
}

}  // namespace
}  // namespace plots
