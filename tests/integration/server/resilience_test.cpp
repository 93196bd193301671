// kavara-server under abuse it must outlive: a worker killed under load is replaced while the
// other serves, and connections are bounded per client and below the descriptor limit, so a
// flood of idle ones neither spins the acceptor nor locks out a new client.
#include "harness.hpp"
#include "raw_connections.hpp"
#include "server_process.hpp"
#include "support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace kavara::test {
namespace {

using namespace std::chrono_literals;

std::string service_environment() {
    return fmt::format(
        "REDIS_HOST=127.0.0.1 REDIS_PORT={} REDIS_DB=0 DATABASE_URL='{}' KAVARA_WATCH_CHANGES=0",
        tileway::program_redis().port(), database_url());
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The workers that announced themselves, in order.
std::vector<pid_t> announced_workers(const std::string& output) {
    static const std::regex announcement(R"(Kavara server listening on \S+ \(pid (\d+)\))");
    std::vector<pid_t> pids;
    for (std::sregex_iterator it(output.begin(), output.end(), announcement), end; it != end; ++it)
        pids.push_back(std::stoi((*it)[1]));
    return pids;
}

// A field of /proc/<pid>/stat, counted from 1 as in proc(5), after the command's name.
long stat_field(pid_t pid, int field) {
    const auto stat = read_file(fmt::format("/proc/{}/stat", pid));
    std::istringstream rest(stat.substr(stat.rfind(')') + 2));
    std::string value;
    for (int i = 3; i <= field; ++i)
        rest >> value;
    return std::stol(value);
}

std::size_t children_of(pid_t pid) {
    std::istringstream children(read_file(fmt::format("/proc/{0}/task/{0}/children", pid)));
    std::size_t n = 0;
    for (std::string child; children >> child;)
        ++n;
    return n;
}

double cpu_seconds(pid_t pid) {
    return static_cast<double>(stat_field(pid, 14) + stat_field(pid, 15)) /
           static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// Requests on fresh connections, one after the other, until stopped: how many were answered
// and how many connections the port refused.
class Load {
  public:
    explicit Load(std::uint16_t port)
        : thread_([this, port] {
              while (!stop_) {
                  RawConnection connection(port);
                  if (!connection.connected()) {
                      refused_ += connection.error() == ECONNREFUSED;
                      continue;
                  }
                  connection.send(
                      "GET /gis/layers/ HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n");
                  answered_ += connection.read_until("\r\n\r\n", 10s).starts_with("HTTP/1.1 200");
              }
          }) {}
    ~Load() {
        stop_ = true;
        thread_.join();
    }
    int answered() const { return answered_; }
    int refused() const { return refused_; }

  private:
    std::atomic<bool> stop_ = false;
    std::atomic<int> answered_ = 0;
    std::atomic<int> refused_ = 0;
    std::thread thread_;
};

TEST(ServerResilience, AWorkerKilledUnderLoadIsReplacedWhileTheOtherServes) {
    ServerProcess server(service_environment(), {"--workers", "2"});
    ASSERT_TRUE(eventually([&] { return announced_workers(server.output()).size() == 2; }, 30s))
        << server.errors();
    const pid_t killed = announced_workers(server.output())[1];
    const pid_t supervisor = static_cast<pid_t>(stat_field(killed, 4));
    {
        const Load load(server.port());
        ASSERT_TRUE(eventually([&] { return load.answered() > 20; }, 20s));
        ASSERT_EQ(::kill(killed, SIGKILL), 0);
        ASSERT_TRUE(eventually([&] { return announced_workers(server.output()).size() == 3; }, 30s))
            << server.errors();
        const int before = load.answered();
        EXPECT_TRUE(eventually([&] { return load.answered() > before + 20; }, 20s));
        EXPECT_EQ(load.refused(), 0);
    }
    EXPECT_EQ(children_of(supervisor), 2u);
    EXPECT_NE(server.errors().find(fmt::format("(pid {}) was killed by signal 9", killed)),
              std::string::npos)
        << server.errors();
    EXPECT_EQ(server.stop(), 0) << server.errors();
}

TEST(ServerResilience, IdleConnectionsBeyondTheDescriptorsNeitherSpinNorLockOutANewClient) {
    std::unique_ptr<ServerProcess> server;
    {
        const DescriptorLimit limit(256);
        server = std::make_unique<ServerProcess>(service_environment());
    }
    ASSERT_TRUE(server->wait_healthy()) << server->errors();
    const pid_t worker = announced_workers(server->output()).at(0);
    std::vector<RawConnection> idle;
    for (int i = 0; i < 400; ++i)
        idle.emplace_back(server->port());
    std::this_thread::sleep_for(500ms);
    const double cpu_before = cpu_seconds(worker);
    std::this_thread::sleep_for(2s);
    // A spinning acceptor takes the whole core.
    EXPECT_LT(cpu_seconds(worker) - cpu_before, 0.5);
    EXPECT_EQ(server->curl("/gis/health/").status, 0);
    EXPECT_LT(count_of(server->errors(), "accept failed"), 10u);
    EXPECT_EQ(server->stop(), 0) << server->errors();
}

TEST(ServerResilience, AClientBeyondItsConnectionsIsClosedAtOnce) {
    // Loopback is no trusted proxy here, so its connections count as one client's.
    ServerProcess server(service_environment() +
                         " KAVARA_TRUSTED_PROXIES=192.0.2.1 KAVARA_MAX_CONNECTIONS_PER_CLIENT=20");
    ASSERT_TRUE(server.wait_healthy()) << server.errors();
    std::this_thread::sleep_for(200ms);  // until the health check's connection has ended
    std::vector<RawConnection> connections;
    for (int i = 0; i < 30; ++i)
        connections.emplace_back(server.port());
    const auto closed = [&] {
        return std::count_if(connections.begin(), connections.end(),
                             [](RawConnection& c) { return c.closed_by_peer(); });
    };
    EXPECT_TRUE(eventually([&] { return closed() == 10; }, 5s)) << closed();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(closed(), 10);
    // One the server kept is served.
    ASSERT_TRUE(connections.front().send("GET /gis/layers/ HTTP/1.1\r\nHost: a\r\n\r\n"));
    EXPECT_TRUE(connections.front().read_until("\r\n", 10s).starts_with("HTTP/1.1 200"));
    EXPECT_EQ(count_of(server.errors(), "closed at once: it has 20 open"), 1u) << server.errors();
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace kavara::test
