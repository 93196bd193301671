#include "seed_database.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kavara::test::seed {
namespace {

TEST(SeedCommandLine, HelpDescribesTheOptions) {
    const CommandResult result = run_seed("--help");
    EXPECT_EQ(result.status, 0);
    for (const char* option : {"--plots N", "--database-url URL", "--seed S"})
        EXPECT_NE(result.out.find(option), std::string::npos) << option;
}

TEST(SeedCommandLine, RejectsMalformedOptionsWithUsageStatus) {
    const std::string url = " --database-url postgresql://postgres@127.0.0.1:1/none";
    for (const std::string arguments :
         {"--plots 0", "--plots 12x", "--plots -5", "--plots", "--seed -1", "--frobnicate"}) {
        SCOPED_TRACE(arguments);
        const CommandResult result = run_seed(arguments + url);
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.out.find("usage: kavara-seed"), std::string::npos) << result.out;
    }
    EXPECT_NE(run_seed("--plots=12x" + url).out.find("'12x'"), std::string::npos);
}

TEST(SeedCommandLine, NeedsADatabase) {
    const CommandResult result =
        shell("env -u DATABASE_URL " + (binary_dir() / "bin" / "kavara-seed").string() + " 2>&1");
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find("no database"), std::string::npos) << result.out;
}

TEST(SeedCommandLine, UnreachableDatabaseFailsWithTheReason) {
    const CommandResult result = run_seed(
        "--plots 10 --database-url postgresql://postgres@127.0.0.1:" + std::to_string(free_port()) +
        "/nowhere");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("cannot connect"), std::string::npos) << result.out;
}

TEST(SeedCommandLine, ReportsEachStepAndTheTotalTime) {
    const std::string& out = seeded_run().out;
    EXPECT_NE(out.find("generated 500 plots"), std::string::npos) << out;
    EXPECT_NE(out.find("copied 500 rows into \"GIS\".\"PLOT\""), std::string::npos) << out;
    EXPECT_NE(out.find("built index PLOT_GEOMETRY_gist"), std::string::npos) << out;
    EXPECT_NE(out.find("kavara-seed: done in "), std::string::npos) << out;
}

}  // namespace
}  // namespace kavara::test::seed
