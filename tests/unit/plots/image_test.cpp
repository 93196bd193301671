// The finished plan: PNG size and pixels, PDF page, and plans drawn on several threads at once.
#include "plot_support.hpp"

#include <plots/plot.hpp>
#include <plots/render.hpp>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

namespace plots {
namespace {

using test::Image;

// A 20 m square alone at 1:500 (a window of 95 x 80 m): the square spans x from 0.395 to 0.605
// and y from 0.375 to 0.625 of the axes.
Json lone_square() {
    Json record{{"parcel_number", 1},
                {"geometry", test::web_polygon(test::square({324000, 1000500}, 20))},
                {"name", "Plot 1"}};
    return Json::array({record});
}

Image plan_image(const PlotResult& result) {
    return test::decode_png(test::base64_decode(result.image64));
}

bool is(Image::Pixel p, int r, int g, int b, int tolerance = 3) {
    return std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance &&
           std::abs(p.b - b) <= tolerance;
}

TEST(PlanImage, IsThePaperAt300Dpi) {
    PlotResult result = generate_plot(lone_square(), Json(1), nullptr);
    EXPECT_EQ(result.scale, 500);
    EXPECT_EQ(result.paper_size, (std::pair<double, double>{190, 160}));
    Image image = plan_image(result);
    EXPECT_EQ(image.width, 2244);
    EXPECT_EQ(image.height, 1890);

    PlotResult small =
        generate_plot(lone_square(), Json(1), nullptr, {.max_width_mm = 100, .max_height_mm = 80});
    Image small_image = plan_image(small);
    EXPECT_EQ(small_image.width, 1181);
    EXPECT_EQ(small_image.height, 945);
}

TEST(PlanImage, ShowsFillBoundaryArrowAndScaleBarWhereTheyBelong) {
    Image image = plan_image(generate_plot(lone_square(), Json(1), nullptr));
    EXPECT_TRUE(is(image.at(5, 5), 255, 255, 255)) << "white background";
    EXPECT_TRUE(is(image.at_fraction(0.45, 0.45), 255, 230, 230))
        << "pale pink fill near the centroid";
    EXPECT_TRUE(is(image.at_fraction(0.395, 0.42), 255, 0, 0, 40))
        << "red boundary on the west leg";
    EXPECT_TRUE(is(image.at_fraction(0.85, 0.88), 0, 0, 0)) << "the arrow's shaft";
    EXPECT_TRUE(is(image.at_fraction(0.85, 0.80), 255, 255, 255))
        << "nothing below the arrow's tail";
    // At 1:500 the bar is 4 x 5 m ending 4.75 m in from the right: its first segment is black.
    double first_segment = (95 - 4.75 - 20 + 2.5) / 95;
    EXPECT_TRUE(is(image.at_fraction(first_segment, 0.02 + 0.0075), 0, 0, 0))
        << "scale bar lower right";
    double second_segment = first_segment + 5 / 95.0;
    EXPECT_TRUE(is(image.at_fraction(second_segment, 0.02 + 0.0075), 255, 255, 255));
}

TEST(PlanImage, CarriesItsResolution) {
    std::string png = test::base64_decode(generate_plot(lone_square(), Json(1), nullptr).image64);
    auto phys = png.find("pHYs");
    ASSERT_NE(phys, std::string::npos);
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(png[phys + 4 + i]); };
    unsigned int per_metre = (byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
    EXPECT_EQ(per_metre, 11811u) << "300 dpi";
}

TEST(PlanPdf, IsOnePageOfExactlyThePaperSize) {
    Plan plan = compose_plot(lone_square(), Json(1), nullptr);
    std::string pdf = render_pdf(plan.figure);
    EXPECT_EQ(pdf.rfind("%PDF-", 0), 0u);
    std::smatch box;
    ASSERT_TRUE(
        std::regex_search(pdf, box, std::regex(R"(/MediaBox \[\s*0 0 ([0-9.]+) ([0-9.]+)\s*\])")));
    EXPECT_NEAR(std::stod(box[1]), 190 / 25.4 * 72, 0.01);
    EXPECT_NEAR(std::stod(box[2]), 160 / 25.4 * 72, 0.01);
    EXPECT_EQ(std::regex_search(pdf, std::regex("/Type\\s*/Page[^s]")), true);
}

// Bands meet without a seam: every band height, one that divides the page or not, gives the
// file of the plan drawn whole.
TEST(PlanImage, DrawnInBandsIsTheSameFileAsDrawnWhole) {
    struct Case {
        const char* input;
        Options paper;
        std::vector<int> band_rows;
    };
    const std::vector<Case> cases{
        {"small_residential", {.max_width_mm = 100, .max_height_mm = 80}, {7, 944, 945}},
        {"neighbours_all_sides", {.max_width_mm = 210, .max_height_mm = 297}, {333, 1754}},
        // In the band memory the larger page left behind on this thread.
        {"crossed_by_road", {.max_width_mm = 100, .max_height_mm = 80}, {944}},
    };
    for (const auto& c : cases) {
        Json input = test::plan_input(c.input);
        Plan plan = compose_plot(input["parcel_data"], input["selected_parcel_number"],
                                 input["road_data"], c.paper);
        const std::string whole = encode_png(render_raster(plan.figure));
        EXPECT_TRUE(encode_png(plan.figure) == whole) << c.input << " in default bands";
        for (int rows : c.band_rows)
            EXPECT_TRUE(encode_png_in_bands(plan.figure, rows) == whole)
                << c.input << " in bands of " << rows << " rows";
    }
}

TEST(PlanImage, PlansOnTwoThreadsAtOnceAreTheirOwn) {
    Json first = test::plan_input("small_residential");
    Json second = test::plan_input("neighbours_all_sides");
    auto draw = [](const Json& input) {
        return generate_plot(input["parcel_data"], input["selected_parcel_number"],
                             input["road_data"])
            .image64;
    };
    std::string expected_first = draw(first);
    std::string expected_second = draw(second);
    ASSERT_NE(expected_first, expected_second);

    std::vector<std::string> got_first(3), got_second(3);
    std::thread a([&] {
        for (auto& image : got_first)
            image = draw(first);
    });
    std::thread b([&] {
        for (auto& image : got_second)
            image = draw(second);
    });
    a.join();
    b.join();
    for (const auto& image : got_first)
        EXPECT_TRUE(image == expected_first);
    for (const auto& image : got_second)
        EXPECT_TRUE(image == expected_second);
}

}  // namespace
}  // namespace plots
