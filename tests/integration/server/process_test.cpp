// kavara-server as a process: start-up, the API document, workers sharing the port, graceful
// stop on SIGTERM and a failed load.
#include "support.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <set>
#include <thread>

namespace {

using kavara::test::shell;
using namespace std::chrono_literals;

std::string server_binary() {
    return (kavara::test::binary_dir() / "bin" / "kavara-server").string();
}

// A kavara-server child with its output in files.
class ServerProcess {
  public:
    explicit ServerProcess(std::vector<std::string> args = {}, std::string env = "")
        : port_(kavara::test::free_port()) {
        out_ = "/tmp/kavara-server-" + std::to_string(port_) + ".out";
        std::string command =
            "exec env KAVARA_PORT=" + std::to_string(port_) + " " + env + " " + server_binary();
        for (const auto& a : args)
            command += " " + a;
        command += " >" + out_ + " 2>" + out_ + ".err";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            std::_Exit(127);
        }
    }
    ~ServerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool wait_ready() {
        for (int i = 0; i < 300; ++i) {
            if (curl("/gis/health/").status == 0)
                return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }
    kavara::test::CommandResult curl(const std::string& path, const std::string& extra = "") {
        return shell("curl -sf --max-time 10 " + extra +
                     " http://127.0.0.1:" + std::to_string(port_) + path);
    }
    int terminate_and_wait(int signal = SIGTERM) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() { return shell("cat " + out_).out; }
    std::string errors() { return shell("cat " + out_ + ".err").out; }

  private:
    std::uint16_t port_;
    std::string out_;
    pid_t pid_ = -1;
};

TEST(ServerProcess, ServesTheApiDocumentAndStopsCleanly) {
    ServerProcess server;
    ASSERT_TRUE(server.wait_ready()) << server.errors();
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
    EXPECT_EQ(server.terminate_and_wait(), 0);
    auto out = server.output();
    EXPECT_NE(out.find("Kavara server listening on http://127.0.0.1:"), std::string::npos) << out;
}

TEST(ServerProcess, WorkersShareThePort) {
    ServerProcess server({"--workers", "2"});
    ASSERT_TRUE(server.wait_ready()) << server.errors();
    for (int i = 0; i < 40; ++i) {
        auto r = server.curl("/gis/layers/");
        EXPECT_EQ(r.status, 0);
    }
    auto out = server.output();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n') >= 2, true) << out;
    EXPECT_NE(out.find("(pid "), out.rfind("(pid "));  // two workers announced themselves
    EXPECT_EQ(server.terminate_and_wait(), 0);
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
