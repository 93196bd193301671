// Identifier equality, the text people read for values, and the base64 of the returned image.
#include <plots/errors.hpp>
#include <plots/render.hpp>
#include <plots/values.hpp>

#include <gtest/gtest.h>

namespace plots {
namespace {

TEST(Identifiers, NumbersCompareByValueAndTextNeverEqualsANumber) {
    EXPECT_TRUE(identifiers_equal(Json(12), Json(12.0)));
    EXPECT_TRUE(identifiers_equal(Json(12u), Json(12)));
    EXPECT_TRUE(identifiers_equal(Json("PL-12"), Json("PL-12")));
    EXPECT_FALSE(identifiers_equal(Json("12"), Json(12)));
    EXPECT_FALSE(identifiers_equal(Json(12), Json("12")));
    EXPECT_FALSE(identifiers_equal(Json(12), Json(12.5)));
    EXPECT_FALSE(identifiers_equal(Json(nullptr), Json(0)));
}

TEST(DefaultText, IsWhatAPersonReads) {
    EXPECT_EQ(default_text(Json(12)), "12");
    EXPECT_EQ(default_text(Json(-3)), "-3");
    EXPECT_EQ(default_text(Json(12.5)), "12.5");
    EXPECT_EQ(default_text(Json(1234.5)), "1234.5");
    EXPECT_EQ(default_text(Json(0.1)), "0.1");
    EXPECT_EQ(default_text(Json(45)), "45");
    EXPECT_EQ(default_text(Json("045")), "045");
    EXPECT_EQ(default_text(Json("Plot 12")), "Plot 12");
}

TEST(TwoDecimals, RoundsTheStoredValueAndRejectsText) {
    EXPECT_EQ(two_decimals(Json(12.3), "d"), "12.30");
    EXPECT_EQ(two_decimals(Json(0), "d"), "0.00");
    EXPECT_EQ(two_decimals(Json(7), "d"), "7.00");
    EXPECT_EQ(two_decimals(Json(2.675), "d"), "2.67");  // 2.675 is stored just below the half
    EXPECT_EQ(two_decimals(Json(1234.565), "d"), "1234.57");
    EXPECT_THROW(two_decimals(Json("12.3"), "d"), InputError);
    EXPECT_THROW(two_decimals(Json(nullptr), "d"), InputError);
}

TEST(Fields, MissingRequiredKeyNamesTheRecord) {
    Json record{{"name", "x"}};
    EXPECT_EQ(required_field(record, "name", "r").get<std::string>(), "x");
    try {
        required_field(record, "geometry", "parcel record 3");
        FAIL();
    } catch (const InputError& error) {
        EXPECT_STREQ(error.what(), "parcel record 3 has no \"geometry\"");
    }
    EXPECT_THROW(required_field(Json(5), "name", "r"), InputError);
    EXPECT_EQ(optional_field(record, "area"), nullptr);
    EXPECT_EQ(optional_field(Json::array(), "area"), nullptr);
}

TEST(Base64, FollowsTheStandardAlphabetWithPadding) {
    EXPECT_EQ(base64_encode(""), "");
    EXPECT_EQ(base64_encode("f"), "Zg==");
    EXPECT_EQ(base64_encode("fo"), "Zm8=");
    EXPECT_EQ(base64_encode("foo"), "Zm9v");
    EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(base64_encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(base64_encode("\x89PNG"), "iVBORw==");
}

}  // namespace
}  // namespace plots
