// kavara-server as a process: start-up, the API document, workers sharing the port, graceful
// stop on SIGTERM and a failed load.
#include "server_process.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using kavara::test::server_binary;
using kavara::test::ServerProcess;
using kavara::test::shell;

TEST(ServerProcess, ServesTheApiDocumentAndStopsCleanly) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_healthy()) << server.errors();
    auto doc = nlohmann::json::parse(server.curl("/openapi.json").out);
    const auto& paths = doc["paths"];
    for (const char* path :
         {"/gis/{layer_name}/{z}/{x}/{y}.pbf", "/gis/{layer_name}/zoom-info/",
          "/gis/{layer_name}/bbox/", "/gis/{layer_name}/", "/gis/layers/",
          "/gis/cache/invalidate/{layer_name}", "/gis/health/", "/plots/site-plan"})
        EXPECT_TRUE(paths.contains(path)) << path;
    EXPECT_EQ(paths["/gis/cache/invalidate/{layer_name}"]["post"]["description"],
              "Manually invalidate cache for a specific layer.\nUseful after bulk data updates or "
              "for testing.");
    EXPECT_EQ(paths["/gis/{layer_name}/bbox/"]["get"]["parameters"].size(), 8u);
    EXPECT_EQ(server.stop(), 0);
    auto out = server.output();
    EXPECT_NE(out.find("Kavara server listening on http://127.0.0.1:"), std::string::npos) << out;
}

TEST(ServerProcess, WorkersShareThePort) {
    ServerProcess server("", {"--workers", "2"});
    ASSERT_TRUE(server.wait_healthy()) << server.errors();
    for (int i = 0; i < 40; ++i) {
        auto r = server.curl("/gis/layers/");
        EXPECT_EQ(r.status, 0);
    }
    auto out = server.output();
    // Each worker announces itself once.
    std::size_t announced = 0;
    for (auto at = out.find("listening on"); at != std::string::npos;
         at = out.find("listening on", at + 1))
        ++announced;
    EXPECT_EQ(announced, 2u) << out;
    EXPECT_NE(out.find("(pid "), out.rfind("(pid "));
    EXPECT_EQ(server.stop(), 0);
}

TEST(ServerProcess, FailedLoadIsAClearErrorAndNonZeroExit) {
    auto r = shell("REDIS_PORT=abc " + server_binary() + " 2>&1; echo \"exit=$?\"");
    EXPECT_NE(r.out.find("REDIS_PORT must be a whole number, got 'abc'"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("exit=1"), std::string::npos);
    auto bad_arg = shell(server_binary() + " --workers zero 2>&1; echo \"exit=$?\"");
    EXPECT_NE(bad_arg.out.find("--workers"), std::string::npos);
    EXPECT_NE(bad_arg.out.find("exit=1"), std::string::npos);
}

}  // namespace
