// The standard survey scale chosen for an extent and a paper size.
#include <plots/errors.hpp>
#include <plots/scale.hpp>

#include <gtest/gtest.h>

namespace plots {
namespace {

TEST(RecommendedScale, MatchesTheTableForTheDefaultPaper) {
    EXPECT_EQ(get_recommended_scale(40, 40), 250);
    EXPECT_EQ(get_recommended_scale(100, 100), 1000);
    EXPECT_EQ(get_recommended_scale(300, 600), 2500);
    EXPECT_EQ(get_recommended_scale(4655, 1), 25000);
    EXPECT_EQ(get_recommended_scale(4656, 1), 26000);
    EXPECT_EQ(get_recommended_scale(5000, 1000), 27000);
}

TEST(RecommendedScale, NonPositiveExtentsGive1000) {
    EXPECT_EQ(get_recommended_scale(0, 10), 1000);
    EXPECT_EQ(get_recommended_scale(-5, -5), 1000);
    EXPECT_EQ(get_recommended_scale(10, -1), 1000);
    EXPECT_EQ(get_recommended_scale(10, 0), 1000);
    EXPECT_EQ(get_recommended_scale(0, 10, 0, 0), 1000) << "the width is tested before the paper";
}

TEST(RecommendedScale, AnExactFitKeepsItsEntry) {
    // 465.5 m of ground fill exactly 98 % of 190 mm at 1:2500.
    EXPECT_EQ(get_recommended_scale(465.5, 1), 2500);
    EXPECT_EQ(get_recommended_scale(465.5001, 1), 5000);
    EXPECT_EQ(get_recommended_scale(4655, 1), 25000);
}

TEST(RecommendedScale, TheTighterAxisBinds) {
    EXPECT_EQ(get_recommended_scale(10, 300), 1500) << "tall: 300 m over 245 mm";
    EXPECT_EQ(get_recommended_scale(300, 10), 2000) << "wide: 300 m over 186.2 mm";
    EXPECT_EQ(get_recommended_scale(280, 280), 2000) << "square on 190 x 250 mm: the width binds";
    EXPECT_EQ(get_recommended_scale(280, 10, 250, 190), 1500) << "the paper's sides as given";
    EXPECT_EQ(get_recommended_scale(40, 40, 190, 160), 500) << "the plan's own paper is lower";
}

TEST(RecommendedScale, NeverBelow250AndIntegersEqualReals) {
    EXPECT_EQ(get_recommended_scale(0.01, 0.01), 250);
    EXPECT_EQ(get_recommended_scale(100, 100, 190, 250),
              get_recommended_scale(100.0, 100.0, 190.0, 250.0));
}

TEST(RecommendedScale, PaperWithoutAreaIsAnError) {
    EXPECT_THROW(get_recommended_scale(10, 10, 0, 250), InputError);
    EXPECT_THROW(get_recommended_scale(10, 10, 190, 0), InputError);
    EXPECT_THROW(get_recommended_scale(1e300, 1, 190, 250), InputError);
}

}  // namespace
}  // namespace plots
