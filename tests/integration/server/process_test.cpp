// kavara-server as a process: its start-up lines, the API document, workers sharing the port
// and one counter per client, graceful stop on SIGTERM, settings that stop the start, and tiles,
// cache headers and the rate limit over real HTTP, where the client address comes from the
// socket.
#include "harness.hpp"
#include "server_process.hpp"
#include "support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

namespace kavara::test {
namespace {

using namespace std::chrono_literals;
using tileway::program_redis;
using tileway::tile_at;
using tileway::tile_with_plots;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The services of the tile service: the program's own Redis and the shared database.
// Without the change watcher: edits other tests left in the shared database's change log would
// make it reach Redis at any moment (it has tests of its own).
std::string service_environment() {
    return fmt::format(
        "REDIS_HOST=127.0.0.1 REDIS_PORT={} REDIS_DB=0 DATABASE_URL='{}' KAVARA_WATCH_CHANGES=0",
        program_redis().port(), database_url());
}

struct Fetched {
    std::string headers;
    std::string body;
};

// One GET with curl; headers as received (lower-cased names are not guaranteed, so callers
// search case-insensitively through `has_header`).
Fetched fetch(const std::string& url) {
    const auto base = fmt::format("/tmp/kavara-server-fetch-{}", ::getpid());
    shell(fmt::format("curl -s --max-time 20 -D {0}.headers -o {0}.body '{1}'", base, url));
    Fetched fetched{read_file(base + ".headers"), read_file(base + ".body")};
    std::remove((base + ".headers").c_str());
    std::remove((base + ".body").c_str());
    return fetched;
}

bool has_header(const std::string& headers, const std::string& line) {
    auto lower = [](std::string text) {
        for (auto& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    return lower(headers).find(lower(line) + "\r\n") != std::string::npos;
}

// Connections the program's Redis has accepted so far, the one asking included.
long connections_received() {
    const auto info = program_redis().cli("INFO stats");
    const std::string field = "total_connections_received:";
    return std::stol(info.substr(info.find(field) + field.size()));
}

// Until the rate-limit window of 127.0.0.1, the client of every request over curl, has closed.
bool window_closed() {
    return eventually([] { return program_redis().cli("EXISTS rate_limit:gis:127.0.0.1") == "0"; },
                      2s);
}

// ---- start-up, API document, stop --------------------------------------------------------------

TEST(ServerProcess, PrintsTheFourStartUpLinesFirstServesTheApiDocumentAndStopsCleanly) {
    const long before = connections_received();
    ServerProcess server(service_environment());
    ASSERT_TRUE(server.wait_listening()) << server.errors();
    const auto lines = lines_of(server.output());
    ASSERT_GE(lines.size(), 5u) << server.output();
    EXPECT_EQ(lines[0], "✓ Binary Redis cache initialized (no UTF-8 decoding)");
    EXPECT_EQ(lines[1], "  - Namespace: mvt_v8");
    EXPECT_EQ(lines[2], fmt::format("  - Redis: 127.0.0.1:{}/0", program_redis().port()));
    EXPECT_EQ(lines[3], "  - decode_responses: False (handles binary data)");
    EXPECT_TRUE(lines[4].starts_with("Kavara server listening on http://127.0.0.1:")) << lines[4];
    // Loading sends nothing to Redis: the only new connection is this question's own.
    EXPECT_EQ(connections_received(), before + 1);

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
    EXPECT_EQ(server.stop(), 0) << server.errors();
}

TEST(ServerProcess, WithoutRedisHostThePortAloneNamesTheLocalHost) {
    ServerProcess server(
        fmt::format("-u REDIS_HOST -u REDIS_DB REDIS_PORT=6380 DATABASE_URL='{}'", database_url()));
    ASSERT_TRUE(server.wait_listening()) << server.errors();
    const auto lines = lines_of(server.output());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[2], "  - Redis: localhost:6380/0");
    EXPECT_EQ(server.stop(), 0);
}

TEST(ServerProcess, SettingsThatAreNotAllowedStopTheStartWithAClearMessage) {
    struct Case {
        std::string environment;  // assignments for env(1)
        std::string arguments;
        std::string message;
    };
    const std::vector<Case> cases{
        {"REDIS_PORT=abc", "", "REDIS_PORT must be a whole number, got 'abc'"},
        {"REDIS_PORT=63.79", "", "REDIS_PORT must be a whole number, got '63.79'"},
        {"REDIS_DB=zero", "", "REDIS_DB must be a whole number, got 'zero'"},
        {"KAVARA_DB_POOL_SIZE=3x", "",
         "KAVARA_DB_POOL_SIZE must be a positive integer, not \"3x\""},
        {"KAVARA_LOG_LEVEL=loud", "", "KAVARA_LOG_LEVEL: unknown level 'loud'"},
        {"", "--workers zero", "--workers must be a whole number from 1 to 64, got 'zero'"},
    };
    for (const auto& c : cases) {
        auto result = shell(fmt::format("env {} KAVARA_PORT={} {} {} 2>&1; echo \"exit=$?\"",
                                        c.environment, free_port(), server_binary(), c.arguments));
        EXPECT_NE(result.out.find("kavara-server: " + c.message), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("Kavara server listening"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("exit=1"), std::string::npos) << result.out;
    }
}

// ---- workers -----------------------------------------------------------------------------------

// Worker processes share the port and, through Redis, one counter per client.
TEST(ServerProcess, WorkersShareThePortAndOneCounterPerClient) {
    ServerProcess server(service_environment(), {"--workers", "2"});
    ASSERT_TRUE(
        eventually([&] { return count_of(server.output(), "Kavara server listening") == 2; }, 30s))
        << server.errors();
    const auto out = server.output();
    EXPECT_NE(out.find("(pid "), out.rfind("(pid "));  // two processes announce themselves
    ASSERT_TRUE(window_closed());
    // Separate connections in parallel, so both workers take some of them.
    std::string urls;
    for (int i = 0; i < 41; ++i)
        urls += " -o /dev/null " + server.url("/gis/roads/1/0/0.pbf");
    const auto start = std::chrono::steady_clock::now();
    auto result = shell("curl -s --parallel --parallel-max 8 -w '%{http_code}\\n'" + urls);
    ASSERT_LT(seconds_since(start), 0.9) << "the 41 requests did not fit in one window";
    const auto codes = lines_of(result.out);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), "404"), 40) << result.out;
    EXPECT_EQ(std::count(codes.begin(), codes.end(), "429"), 1) << result.out;
    EXPECT_EQ(program_redis().cli("GET rate_limit:gis:127.0.0.1"), "41");
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(count_of(server.output(), "Kavara server listening"), 2u) << server.output();
}

// ---- tiles over HTTP ---------------------------------------------------------------------------

// KAVARA_ADMIN_TOKEN reaches the tile service: without it the server warns once; with it
// invalidation asks for the token.
TEST(ServerProcess, TheAdminTokenOfTheEnvironmentGuardsInvalidation) {
    const auto warning = "No admin token is set (KAVARA_ADMIN_TOKEN)";
    for (const bool with_token : {false, true}) {
        ServerProcess server(
            (with_token ? "KAVARA_ADMIN_TOKEN=s3cret " : "-u KAVARA_ADMIN_TOKEN ") +
            service_environment());
        ASSERT_TRUE(server.wait_listening()) << server.errors();
        const auto errors = server.errors();
        const auto first = errors.find(warning);
        EXPECT_EQ(first != std::string::npos, !with_token) << errors;
        EXPECT_EQ(errors.find(warning, first + 1), std::string::npos) << errors;
        auto status = [&](const std::string& extra) {
            return server
                .curl("/gis/cache/invalidate/lgas",
                      "-o /dev/null -w '%{http_code}' -X POST " + extra)
                .out;
        };
        EXPECT_EQ(status(""), with_token ? "401" : "200");
        EXPECT_EQ(status("-H 'Authorization: Bearer s3cret'"), "200");
        EXPECT_EQ(server.stop(), 0);
    }
}

TEST(ServerProcess, TheConfiguredRedisDatabaseHoldsTheCountersAndTiles) {
    ServerProcess server(
        fmt::format("REDIS_HOST=127.0.0.1 REDIS_PORT={} REDIS_DB=3 DATABASE_URL='{}'",
                    program_redis().port(), database_url()));
    ASSERT_TRUE(server.wait_listening()) << server.errors();
    EXPECT_EQ(lines_of(server.output()).at(2),
              fmt::format("  - Redis: 127.0.0.1:{}/3", program_redis().port()));
    const auto tile = tile_with_plots(14);
    program_redis().cli(fmt::format("-n 3 DEL mvt_v8:plots:{}:{}:{}", tile.z, tile.x, tile.y));
    ASSERT_FALSE(fetch(server.url("/gis/plots/" + tile.path() + ".pbf")).body.empty());
    EXPECT_EQ(program_redis().cli(
                  fmt::format("-n 3 EXISTS mvt_v8:plots:{}:{}:{}", tile.z, tile.x, tile.y)),
              "1");
    EXPECT_EQ(program_redis().cli("-n 3 EXISTS rate_limit:gis:127.0.0.1"), "1");
    EXPECT_EQ(program_redis().cli(
                  fmt::format("-n 0 EXISTS mvt_v8:plots:{}:{}:{}", tile.z, tile.x, tile.y)),
              "0");
    EXPECT_EQ(server.stop(), 0);
    program_redis().cli("-n 3 FLUSHDB");
}

class ServedOverHttp : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new ServerProcess(service_environment());
        ASSERT_TRUE(server_->wait_listening()) << server_->errors();
    }
    static void TearDownTestSuite() {
        EXPECT_EQ(server_->stop(), 0) << server_->errors();
        delete server_;
        server_ = nullptr;
    }
    // Every request of this suite comes from 127.0.0.1: let the last window close.
    void SetUp() override { ASSERT_TRUE(window_closed()); }

    static ServerProcess* server_;
};

ServerProcess* ServedOverHttp::server_ = nullptr;

TEST_F(ServedOverHttp, ATileIsAMissThenAHitWithTheSameBytes) {
    const auto tile = tile_with_plots(14);
    program_redis().cli(fmt::format("DEL mvt_v8:plots:{}:{}:{}", tile.z, tile.x, tile.y));
    const auto url = server_->url("/gis/plots/" + tile.path() + ".pbf");
    const auto miss = fetch(url);
    EXPECT_TRUE(has_header(miss.headers, "HTTP/1.1 200 OK")) << miss.headers;
    EXPECT_TRUE(has_header(miss.headers, "Content-Type: application/vnd.mapbox-vector-tile"))
        << miss.headers;
    EXPECT_FALSE(has_header(miss.headers, "X-Cache: HIT")) << miss.headers;
    EXPECT_EQ(miss.headers.find("Cache-Control"), std::string::npos) << miss.headers;
    ASSERT_FALSE(miss.body.empty());

    const auto hit = fetch(url);
    EXPECT_TRUE(has_header(hit.headers, "X-Cache: HIT")) << hit.headers;
    EXPECT_TRUE(has_header(hit.headers, "Cache-Control: public, max-age=1800")) << hit.headers;
    EXPECT_EQ(hit.body, miss.body);
    EXPECT_TRUE(has_header(hit.headers, fmt::format("Content-Length: {}", miss.body.size())));
}

TEST_F(ServedOverHttp, AnEmptyTileIsA204WithoutBody) {
    const auto tile = tile_at(0.5, 0.5, 14);
    const auto empty = fetch(server_->url("/gis/plots/" + tile.path() + ".pbf"));
    EXPECT_TRUE(has_header(empty.headers, "HTTP/1.1 204 No Content")) << empty.headers;
    EXPECT_TRUE(empty.body.empty());
}

TEST_F(ServedOverHttp, TheSocketsAddressIsCountedAndTheFortyFirstRequestIsRefused) {
    // One curl process, one kept-alive connection, 41 requests in well under a second.
    std::string urls;
    for (int i = 0; i < 41; ++i)
        urls += " -o /dev/null " + server_->url("/gis/roads/1/0/0.pbf");
    const auto start = std::chrono::steady_clock::now();
    auto result = shell("curl -s -w '%{http_code}\\n'" + urls);
    ASSERT_LT(seconds_since(start), 0.9) << "the 41 requests did not fit in one window";
    const auto codes = lines_of(result.out);
    ASSERT_EQ(codes.size(), 41u) << result.out;
    for (std::size_t i = 0; i < 40; ++i)
        EXPECT_EQ(codes[i], "404") << i;
    EXPECT_EQ(codes[40], "429");
    EXPECT_EQ(program_redis().cli("GET rate_limit:gis:127.0.0.1"), "41");
}

// Behind a proxy on the loopback (trusted by default) every user has a counter of their own.
TEST_F(ServedOverHttp, ClientsBehindATrustedProxyAreCountedByTheirForwardedAddress) {
    const auto url = server_->url("/gis/roads/1/0/0.pbf");
    for (const char* forwarded : {"203.0.113.7", "198.51.100.1, 203.0.113.8"}) {
        auto result = shell(
            fmt::format("curl -s -o /dev/null -w '%{{http_code}}' -H 'X-Forwarded-For: {}' {}",
                        forwarded, url));
        EXPECT_EQ(result.out, "404");
    }
    EXPECT_EQ(program_redis().cli("GET rate_limit:gis:203.0.113.7"), "1");
    EXPECT_EQ(program_redis().cli("GET rate_limit:gis:203.0.113.8"), "1");
    EXPECT_EQ(program_redis().cli("EXISTS rate_limit:gis:127.0.0.1"), "0");
}

}  // namespace
}  // namespace kavara::test
