// kavara-siteplan end to end: outputs on success, one error line and no files on bad input.
#include "plot_support.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace plots {
namespace {

namespace fs = std::filesystem;

class SiteplanTool : public testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kavara-siteplan-test-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    struct Run {
        int status;
        std::string out;
        std::string err;
    };

    Run run(const std::string& arguments) {
        auto err = dir_ / "stderr.txt";
        auto tool = kavara::test::binary_dir() / "bin/kavara-siteplan";
        auto result = kavara::test::shell(tool.string() + " " + arguments + " 2>" + err.string());
        std::ifstream in(err);
        std::stringstream text;
        text << in.rdbuf();
        fs::remove(err);
        return {result.status, result.out, text.str()};
    }

    std::string write_input(const std::string& name, const std::string& content) {
        auto path = dir_ / name;
        std::ofstream(path) << content;
        return path.string();
    }

    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    fs::path dir_;
};

std::string plan_path(const std::string& name) {
    return (kavara::test::source_dir() / "tests/data/plans" / (name + ".json")).string();
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST_F(SiteplanTool, WritesThePlanItsResultAndItsPdf) {
    Run run = this->run(plan_path("large_irregular") + " -o " + path("plan.png") + " --result " +
                        path("result.json") + " --pdf " + path("plan.pdf"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Recommended scale: 1:1500");
    EXPECT_EQ(count(run.err, "Loaded plots module"), 1);
    EXPECT_EQ(files(), (std::vector<std::string>{"plan.pdf", "plan.png", "result.json"}));

    std::ifstream png(path("plan.png"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
    EXPECT_EQ(test::decode_png(bytes).width, 2244);

    Json result = Json::parse(std::ifstream(path("result.json")));
    EXPECT_EQ(result["paper_size"].dump(), "[190,160]");
    EXPECT_EQ(result["scale"], 1500);
    ASSERT_EQ(result["schedule"].size(), 4u);
    Json input = test::plan_input("large_irregular");
    const Json& leg = input["parcel_data"][0]["boundary"][2];
    Json expected{{"from", "SC/AB 103"},
                  {"to", "SC/AB 104"},
                  {"bearing", default_text(leg["bearing_deg_to_next"]) + " " +
                                  default_text(leg["bearing_min_to_next"])},
                  {"distance", two_decimals(leg["distance_to_next"], "distance")}};
    EXPECT_EQ(result["schedule"][0], expected);
}

TEST_F(SiteplanTool, BadInputIsOneLineExitTwoAndNoFiles) {
    std::string not_found = write_input(
        "missing.json", R"({"parcel_data": [], "selected_parcel_number": 9, "road_data": null})");
    std::string broken = write_input("broken.json", R"({"parcel_data": [)");
    std::string incomplete = write_input("incomplete.json", R"({"parcel_data": []})");
    std::string too_wide =
        write_input("wide.json", R"({"parcel_data": [], "selected_parcel_number": 9,
        "road_data": null, "max_width_mm": 2000})");
    std::string bad_geometry =
        write_input("geometry.json", R"({"parcel_data": [{"parcel_number": 1, "name": "x",
        "geometry": {"type": "Polygon", "coordinates": [[[0,0],[1,0],[1,1]]]}}], "selected_parcel_number": 1, "road_data": null})");
    std::string deep = write_input(
        "deep.json", R"({"parcel_data": [)" + std::string(100000, '[') + std::string(100000, ']') +
                         R"(], "selected_parcel_number": 1, "road_data": null})");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {not_found + " -o " + path("plan.png"), "Parcel with parcel_number=9 not found."},
        {broken + " -o " + path("plan.png") + " --result " + path("r.json"), "parse error"},
        {incomplete + " -o " + path("plan.png"),
         "incomplete.json: Missing \"selected_parcel_number\""},
        {too_wide + " -o " + path("plan.png"), "at most 1189 mm (A0)"},
        {bad_geometry + " -o " + path("plan.png") + " --pdf " + path("plan.pdf"),
         "the target parcel"},
        {deep + " -o " + path("plan.png"), "deep.json: The JSON nests arrays and objects deeper"},
        {path("absent.json") + " -o " + path("plan.png"), "cannot read"},
        {not_found, "usage"},
    };
    auto inputs = files();
    for (const auto& [arguments, message] : cases) {
        Run run = this->run(arguments);
        EXPECT_EQ(run.status, 2) << arguments;
        auto error_lines = run.err.substr(run.err.find("kavara-siteplan: "));
        EXPECT_EQ(count(error_lines, "\n"), 1) << run.err;
        EXPECT_NE(error_lines.find(message), std::string::npos) << run.err;
        EXPECT_EQ(files(), inputs) << "an output was left behind by " << arguments;
    }
}

}  // namespace
}  // namespace plots
