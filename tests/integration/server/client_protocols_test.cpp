// What map clients and operators meet over real HTTP: tiles revalidated by their ETag and sent
// gzip-compressed, TileJSON and the style naming the server the client reached (behind a proxy
// too), CORS preflights of the configured origin only, metrics read by the reference parser and
// summed over two workers, and served tiles read by GDAL as by our own reader.
#include "harness.hpp"
#include "mvt_reader.hpp"
#include "server_process.hpp"
#include "support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>
#include <map>
#include <sstream>

namespace kavara::test {
namespace {

using tileway::program_redis;
using tileway::tile_with_plots;

std::string scratch(const std::string& name) {
    return fmt::format("/tmp/kavara-clients-{}-{}", ::getpid(), name);
}

class ClientProtocols : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server_ = new ServerProcess(
            fmt::format("REDIS_HOST=127.0.0.1 REDIS_PORT={} DATABASE_URL='{}' KAVARA_WORKERS=2 "
                        "KAVARA_CORS_ORIGINS='https://app.example, http://localhost:3000'",
                        program_redis().port(), database_url()));
        ASSERT_TRUE(server_->wait_healthy()) << server_->errors();
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    // Status line and headers (names lower-cased) of one request; the body into `body_file`.
    static std::string headers(const std::string& path, const std::string& options,
                               const std::string& body_file = "/dev/null") {
        auto result = shell(fmt::format("curl -s --max-time 20 -D - -o {} {} '{}' | tr 'A-Z' 'a-z'",
                                        body_file, options, server_->url(path)));
        return result.out;
    }
    static std::string header_value(const std::string& head, const std::string& name) {
        const auto at = head.find("\n" + name + ": ");
        if (at == std::string::npos)
            return "";
        const auto start = at + name.size() + 3;
        return head.substr(start, head.find('\r', start) - start);
    }
    static std::string plots_tile(std::int64_t z) {
        return "/gis/plots/" + tile_with_plots(z).path() + ".pbf";
    }

    static ServerProcess* server_;
};
ServerProcess* ClientProtocols::server_ = nullptr;

TEST_F(ClientProtocols, TilesAreSentOnceGzipOrRawAndAnswered304ForTheirOwnTag) {
    const std::vector<std::string> targets{
        plots_tile(14), "/gis/plots/bbox/?minx=7.445&miny=9.045&maxx=7.45&maxy=9.05"};
    for (const auto& target : targets) {
        const std::string raw = scratch("raw"), packed = scratch("packed");
        const auto built = headers(target, "");  // cached: both copies now come from the cache
        const auto plain = headers(target, "", raw);
        const auto gzip = headers(target, "-H 'Accept-Encoding: gzip'", packed);
        EXPECT_NE(plain.find("x-cache: hit"), std::string::npos) << target << plain;
        EXPECT_EQ(header_value(gzip, "content-encoding"), "gzip") << target;
        EXPECT_EQ(header_value(plain, "content-encoding"), "") << target;
        EXPECT_EQ(header_value(gzip, "vary"), "accept-encoding") << target;
        EXPECT_EQ(shell("gunzip -c " + packed + " | cmp -s - " + raw + " && echo same").out, "same")
            << target;
        EXPECT_LT(read_file(packed).size(), read_file(raw).size()) << target;

        const auto plain_tag = header_value(plain, "etag");
        const auto gzip_tag = header_value(gzip, "etag");
        ASSERT_FALSE(plain_tag.empty()) << target;
        EXPECT_NE(plain_tag, gzip_tag) << target;  // two representations, two strong tags
        // The gzip copy is made after a raw miss has been answered, under the miss's own tag.
        EXPECT_EQ(header_value(built, "etag"), plain_tag) << target;
        struct Case {
            std::string options;
            const char* status;
        };
        const Case cases[] = {
            {"-H 'If-None-Match: " + plain_tag + "'", "http/1.1 304"},
            {"-H 'Accept-Encoding: gzip' -H 'If-None-Match: " + gzip_tag + "'", "http/1.1 304"},
            {"-H 'Accept-Encoding: gzip' -H 'If-None-Match: " + plain_tag + "'", "http/1.1 200"},
            {"-H 'If-None-Match: \"another\"'", "http/1.1 200"},
        };
        for (const auto& c : cases) {
            const auto head = headers(target, c.options);
            EXPECT_EQ(head.rfind(c.status, 0), 0u) << target << " " << c.options << head;
        }
    }
}

TEST_F(ClientProtocols, TileJsonAndTheStyleNameTheServerTheClientReached) {
    struct Case {
        std::string options;
        std::string origin;
    };
    const Case cases[] = {
        {"", server_->url("")},
        {"-H 'X-Forwarded-Proto: https' -H 'X-Forwarded-Host: maps.example'",
         "https://maps.example"},
    };
    for (const auto& c : cases) {
        const auto doc =
            nlohmann::json::parse(server_->curl("/gis/plots/tilejson.json", c.options).out);
        EXPECT_EQ(doc["tilejson"], "3.0.0");
        EXPECT_EQ(doc["tiles"][0], c.origin + "/gis/plots/{z}/{x}/{y}.pbf");
        EXPECT_EQ(doc["minzoom"], 8);
        EXPECT_EQ(doc["maxzoom"], 20);
        const auto& b = doc["bounds"];
        EXPECT_LT(b[0].get<double>(), 7.45);
        EXPECT_GT(b[2].get<double>(), 7.45);
        EXPECT_LT(b[1].get<double>(), 9.05);
        EXPECT_GT(b[3].get<double>(), 9.05);
        EXPECT_NEAR(doc["center"][0].get<double>(), (b[0].get<double>() + b[2].get<double>()) / 2,
                    1e-9);
        EXPECT_EQ(doc["vector_layers"][0]["id"], "plots");
        EXPECT_EQ(doc["vector_layers"][0]["fields"]["PLOT_NO"], "String");
        EXPECT_EQ(doc["vector_layers"][0]["fields"]["AREA_SYSTEM"], "Number");

        const auto style = nlohmann::json::parse(server_->curl("/gis/style.json", c.options).out);
        EXPECT_EQ(style["version"], 8);
        for (const char* layer : {"plots", "beacons", "cadzones", "districts", "lgas"})
            EXPECT_EQ(style["sources"][layer]["url"],
                      c.origin + "/gis/" + std::string(layer) + "/tilejson.json");
    }
    EXPECT_EQ(headers("/gis/roads/tilejson.json", "").rfind("http/1.1 404", 0), 0u);
}

TEST_F(ClientProtocols, PreflightsAreAllowedForTheConfiguredOriginsOnly) {
    struct Case {
        const char* path;
        const char* origin;
        const char* method;
        const char* status;
        const char* allowed_origin;
    };
    const Case cases[] = {
        {"/gis/plots/14/1/1.pbf", "https://app.example", "GET", "204", "https://app.example"},
        {"/gis/plots/bbox/", "http://localhost:3000", "GET", "204", "http://localhost:3000"},
        {"/gis/layers/", "https://app.example", "GET", "204", "https://app.example"},
        {"/plots/site-plan", "https://app.example", "POST", "204", "https://app.example"},
        {"/gis/plots/14/1/1.pbf", "https://evil.example", "GET", "403", ""},
        {"/gis/plots/14/1/1.pbf", "https://app.example", "DELETE", "403", ""},
        // Cache invalidation is for operators, never for other origins' pages.
        {"/gis/cache/invalidate/all", "https://app.example", "POST", "405", ""},
    };
    for (const auto& c : cases) {
        const auto head = headers(c.path, fmt::format("-X OPTIONS -H 'Origin: {}' "
                                                      "-H 'Access-Control-Request-Method: {}'",
                                                      c.origin, c.method));
        EXPECT_EQ(head.rfind(std::string("http/1.1 ") + c.status, 0), 0u) << c.path << head;
        EXPECT_EQ(header_value(head, "access-control-allow-origin"), c.allowed_origin) << c.path;
    }
    const auto answer = headers(plots_tile(14), "-H 'Origin: https://app.example'");
    EXPECT_EQ(header_value(answer, "access-control-allow-origin"), "https://app.example");
    EXPECT_EQ(header_value(answer, "access-control-expose-headers"), "etag, x-cache");
    EXPECT_EQ(header_value(answer, "vary"), "accept-encoding, origin");
    EXPECT_EQ(header_value(headers(plots_tile(14), "-H 'Origin: https://evil.example'"),
                           "access-control-allow-origin"),
              "");
}

// Samples of the metrics page as the reference parser reads them: "name{k=v,...}" -> value.
std::map<std::string, double> scrape(const ServerProcess& server) {
    const auto result = shell("curl -sf --max-time 10 " + server.url("/metrics") +
                              " | /usr/bin/python3 " KAVARA_SOURCE_DIR
                              "/tests/integration/server/metrics_samples.py");
    EXPECT_EQ(result.status, 0) << result.out;
    std::map<std::string, double> samples;
    std::istringstream lines(result.out);
    for (std::string name, value; lines >> name >> value;)
        samples[name] = std::stod(value);
    return samples;
}

TEST_F(ClientProtocols, MetricsAreReadByTheReferenceParserAndMoveWithTheTrafficOfBothWorkers) {
    const std::string tile_route =
        "kavara_http_requests_total{method=GET,route=/gis/{layer_name}/{z}/{x}/{y}.pbf,status=200}";
    const std::string hits = "kavara_tile_cache_reads_total{layer=plots,result=hit,route=xyz}";
    headers(plots_tile(15), "");
    const auto before = scrape(*server_);
    for (int i = 0; i < 12; ++i)  // new connections: the kernel spreads them over the workers
        headers(plots_tile(15), "");
    const auto after = scrape(*server_);
    EXPECT_EQ(after.at(tile_route) - before.at(tile_route), 12);
    EXPECT_EQ(after.at(hits) - before.at(hits), 12);
    EXPECT_GE(after.at("kavara_http_request_duration_seconds_count{route=/gis/{layer_name}/{z}/"
                       "{x}/{y}.pbf}"),
              12);
    EXPECT_TRUE(after.count("kavara_db_pool_connections_in_use{}"));
    for (const auto& [name, value] : after)
        EXPECT_EQ(name.find("127.0.0.1"), std::string::npos) << name;  // no client addresses
}

TEST_F(ClientProtocols, GdalReadsServedTilesAsOurReaderDoes) {
    for (std::int64_t z : {13, 16}) {
        const std::string file = scratch("tile") + ".pbf";
        headers(plots_tile(z), "", file);
        const auto ours = mvt::decode(read_file(file));
        ASSERT_EQ(ours.size(), 1u);
        // One CSV line per feature: feature_id, PLOT_NO and STATUS as GDAL's MVT driver reads them.
        const auto csv = shell("ogr2ogr -q -f CSV /vsistdout/ " + file +
                               " plots -select feature_id,PLOT_NO,STATUS 2>/dev/null");
        ASSERT_EQ(csv.status, 0);
        std::map<std::string, std::string> gdal;
        std::istringstream lines(csv.out);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "feature_id,PLOT_NO,STATUS") << z;
        while (std::getline(lines, line)) {
            const auto comma = line.find(',');
            std::string id = line.substr(0, comma);
            std::erase(id, '"');
            gdal[id] = line.substr(comma + 1);
        }
        EXPECT_EQ(gdal.size(), ours[0].features.size()) << z;
        for (const auto& feature : ours[0].features) {
            const auto id = mvt::to_text(feature.properties.at("feature_id"));
            EXPECT_EQ(gdal[id], mvt::to_text(feature.properties.at("PLOT_NO")) + "," +
                                    mvt::to_text(feature.properties.at("STATUS")))
                << z << " " << id;
        }
        std::remove(file.c_str());
    }
}

}  // namespace
}  // namespace kavara::test
