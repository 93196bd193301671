// The request of one plan as the POST route and kavara-siteplan read it: defaults, the paper
// echoed as written, the ignored bounding box, and the message of each fault.
#include <plots/errors.hpp>
#include <plots/plan_request.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plots {
namespace {

constexpr const char* records =
    R"("parcel_data": [], "selected_parcel_number": 5, "road_data": null)";

std::string body(const std::string& more = "") {
    return "{" + std::string(records) + more + "}";
}

TEST(PlanRequest, TheDefaultPaperAndColumnAndThePaperAsWritten) {
    PlanRequest plain = parse_plan_request(body());
    EXPECT_EQ(plain.selected_parcel_number, 5);
    EXPECT_TRUE(plain.road_data.is_null());
    EXPECT_EQ(plain.options.columnname, "parcel_number");
    EXPECT_EQ(plain.options.max_width_mm, DEFAULT_PAPER.width_mm);
    EXPECT_EQ(plain.options.max_height_mm, DEFAULT_PAPER.height_mm);
    EXPECT_EQ(plain.paper_size.dump(), "[190,160]");

    PlanRequest a4 = parse_plan_request(
        body(R"(, "columnname": "ID", "max_width_mm": 210.0, "max_height_mm": 297.5)"));
    EXPECT_EQ(a4.options.columnname, "ID");
    EXPECT_EQ(a4.options.max_width_mm, 210);
    EXPECT_EQ(a4.options.max_height_mm, 297.5);
    EXPECT_EQ(a4.paper_size.dump(), "[210.0,297.5]");
}

TEST(PlanRequest, ABoundingBoxOfAnyKindIsAcceptedAndChangesNothing) {
    PlanRequest plain = parse_plan_request(body());
    for (const char* box : {"[1, 2, 3, 4]", "null", "\"anything\""}) {
        PlanRequest boxed = parse_plan_request(body(std::string(R"(, "bounding_box": )") + box));
        EXPECT_EQ(boxed.parcel_data, plain.parcel_data) << box;
        EXPECT_EQ(boxed.options.columnname, plain.options.columnname) << box;
        EXPECT_EQ(boxed.options.max_width_mm, plain.options.max_width_mm) << box;
        EXPECT_EQ(boxed.paper_size, plain.paper_size) << box;
    }
}

TEST(PlanRequest, EachFaultIsAnInputErrorWithItsMessage) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"not json", "The body is not valid JSON"},
        {"[1, 2]", "The body must be a JSON object"},
        {R"({"parcel_data": [], "road_data": null})", "Missing \"selected_parcel_number\""},
        {R"({"parcel_data": {}, "selected_parcel_number": 5, "road_data": null})",
         "\"parcel_data\" must be a list of parcel records"},
        {R"({"parcel_data": [], "selected_parcel_number": 5, "road_data": 3})",
         "\"road_data\" must be a list of road records or null"},
        {body(R"(, "columnname": 7)"), "\"columnname\" must be text"},
        {body(R"(, "max_width_mm": "wide")"), "\"max_width_mm\" must be a number of millimetres"},
        {body(R"(, "max_width_mm": 0)"),
         "\"max_width_mm\" must be at least 10 mm and at most 1189 mm (A0)"},
        {body(R"(, "max_height_mm": 0.0001)"),
         "\"max_height_mm\" must be at least 10 mm and at most 1189 mm (A0)"},
        {body(R"(, "max_height_mm": 1189.5)"),
         "\"max_height_mm\" must be at least 10 mm and at most 1189 mm (A0)"},
    };
    for (const auto& [text, message] : cases) {
        try {
            parse_plan_request(text);
            ADD_FAILURE() << "accepted " << text;
        } catch (const InputError& e) {
            EXPECT_EQ(e.what(), message) << text;
        }
    }
    EXPECT_EQ(parse_plan_request(body(R"(, "max_width_mm": 1189)")).options.max_width_mm, 1189);
    EXPECT_EQ(parse_plan_request(body(R"(, "max_width_mm": 10)")).options.max_width_mm, 10);
}

std::string nested(std::size_t depth, const std::string& open, const std::string& close) {
    std::string text;
    for (std::size_t i = 0; i < depth; ++i)
        text += open;
    for (std::size_t i = 0; i < depth; ++i)
        text += close;
    return text;
}

TEST(PlanRequest, NestingDeeperThan64LevelsIsRefusedWhereverItIs) {
    const std::string brackets(100, '[');
    const std::vector<std::pair<std::string, bool>> cases{
        // The body and "parcel_data" are two levels of their own.
        {R"({"parcel_data": [)" + nested(62, "[", "]") + R"(], "selected_parcel_number": 5,
            "road_data": null})",
         true},
        {R"({"parcel_data": [)" + nested(63, "[", "]") + R"(], "selected_parcel_number": 5,
            "road_data": null})",
         false},
        {body(R"(, "bounding_box": )" + nested(100000, "[", "]")), false},
        {body(R"(, "bounding_box": )" + nested(64, R"({"a": )", "}")), false},
        // Brackets in strings are text, an escaped quote does not end its string, and an
        // escaped backslash does not escape the quote after it.
        {body(R"(, "columnname": ")" + brackets + R"(")"), true},
        {body(R"(, "columnname": "\")" + brackets + R"(")"), true},
        {body(R"(, "columnname": "\\", "bounding_box": )" + nested(64, "[", "]")), false},
    };
    for (const auto& [text, accepted] : cases) {
        try {
            parse_plan_request(text);
            EXPECT_TRUE(accepted) << text.substr(0, 200);
        } catch (const InputError& e) {
            EXPECT_FALSE(accepted) << text.substr(0, 200);
            EXPECT_STREQ(e.what(), "The body nests arrays and objects deeper than 64 levels");
        }
    }
}

}  // namespace
}  // namespace plots
