// GET /plots/site-plan/{plot_id}, .png and .pdf on the plots of fixture.sql: the answers, their
// media types and sizes, the paper checks they share with the POST route, unknown plots, and
// the API document.
#include "site_plan_harness.hpp"

#include "host/database.hpp"
#include "host/metrics.hpp"
#include "host/runtime.hpp"
#include "support.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>

#include <gtest/gtest.h>

#include <libpq-fe.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kavara::test::site_plans;

class StoredPlanRoutes : public ::testing::Test {
  protected:
    void SetUp() override { route_requests_to(fixture_database().url()); }
};

struct PixelSize {
    std::uint32_t width, height;
};

// Width and height from the IHDR chunk, which always comes first after the signature.
PixelSize png_size(std::string_view png) {
    auto be32 = [&](std::size_t at) {
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < 4; ++i)
            v = v << 8 | static_cast<unsigned char>(png[at + i]);
        return v;
    };
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    return {be32(16), be32(20)};
}

// Width and height in points of the page's MediaBox.
std::pair<double, double> pdf_page_size(const std::string& pdf) {
    std::smatch m;
    static const std::regex media_box(R"(/MediaBox\s*\[\s*0\s+0\s+([0-9.]+)\s+([0-9.]+)\s*\])");
    if (!std::regex_search(pdf, m, media_box))
        return {0, 0};
    return {std::stod(m[1]), std::stod(m[2])};
}

double points(double mm) {
    return mm / 25.4 * 72;
}

TEST_F(StoredPlanRoutes, JsonAnswersTheEnvelopeOfThePostRoute) {
    auto response = get("/plots/site-plan/101");
    ASSERT_EQ(response.status, 200u) << response.body.view();
    EXPECT_EQ(response.media_type, "application/json");
    auto body = json_body(response);
    EXPECT_EQ(body["success"], true);
    const auto& data = body["data"];
    std::vector<std::string> keys;
    for (auto& [key, value] : data.items())
        keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"image64", "paper_size", "scale", "schedule"}));
    EXPECT_TRUE(data["image64"].get<std::string>().starts_with("iVBORw0KGgo"));
    EXPECT_EQ(data["paper_size"].dump(), "[190,160]");
    EXPECT_EQ(data["scale"], 500);
    EXPECT_EQ(data["schedule"].dump(),
              R"([{"from":"KB 2","to":"KB 3","bearing":"143 8","distance":"5.00"}])");

    auto a4 = json_body(get("/plots/site-plan/101?max_width_mm=190&max_height_mm=277.5"));
    EXPECT_EQ(a4["data"]["paper_size"].dump(), "[190,277.5]");
}

TEST_F(StoredPlanRoutes, PngIsThePaperAt300Dpi) {
    auto response = get("/plots/site-plan/101.png");
    ASSERT_EQ(response.status, 200u) << response.body.view();
    EXPECT_EQ(response.media_type, "image/png");
    auto size = png_size(response.body.view());
    EXPECT_EQ(size.width, 2244u);
    EXPECT_EQ(size.height, 1890u);

    auto custom = get("/plots/site-plan/101.png?max_width_mm=100&max_height_mm=120");
    ASSERT_EQ(custom.status, 200u) << custom.body.view();
    size = png_size(custom.body.view());
    EXPECT_EQ(size.width, 1181u);  // 100 mm / 25.4 x 300
    EXPECT_EQ(size.height, 1417u);
}

TEST_F(StoredPlanRoutes, PdfIsOnePageOfThePapersSizeNamedAfterThePlot) {
    auto response = get("/plots/site-plan/101.pdf");
    ASSERT_EQ(response.status, 200u) << response.body.view();
    EXPECT_EQ(response.media_type, "application/pdf");
    EXPECT_EQ(response.header("Content-Disposition"), R"(inline; filename="site-plan-TP_101.pdf")");
    std::string pdf = response.body.str();
    EXPECT_TRUE(pdf.starts_with("%PDF-"));
    auto [width, height] = pdf_page_size(pdf);
    EXPECT_NEAR(width, points(190), 0.01);
    EXPECT_NEAR(height, points(160), 0.01);

    auto a3 = get("/plots/site-plan/105.pdf?max_width_mm=420&max_height_mm=297");
    ASSERT_EQ(a3.status, 200u) << a3.body.view();
    // A plot without a number is named by its ID.
    EXPECT_EQ(a3.header("Content-Disposition"), R"(inline; filename="site-plan-105.pdf")");
    auto [a3_width, a3_height] = pdf_page_size(a3.body.str());
    EXPECT_NEAR(a3_width, points(420), 0.01);
    EXPECT_NEAR(a3_height, points(297), 0.01);
}

TEST_F(StoredPlanRoutes, SuffixesSelectTheFormatAndNothingElse) {
    EXPECT_EQ(get("/plots/site-plan/101.png").media_type, "image/png");
    EXPECT_EQ(get("/plots/site-plan/101.pdf").media_type, "application/pdf");
    // Other suffixes, or a suffix alone, are not a plot ID.
    for (const char* target :
         {"/plots/site-plan/101.gif", "/plots/site-plan/abc", "/plots/site-plan/101.png.pdf",
          "/plots/site-plan/1e2", "/plots/site-plan/.png"}) {
        auto response = get(target);
        EXPECT_EQ(response.status, 422u) << target << " -> " << response.body.view();
    }
}

TEST_F(StoredPlanRoutes, UnknownPlotIs404InEveryFormat) {
    for (const char* target :
         {"/plots/site-plan/999", "/plots/site-plan/999.png", "/plots/site-plan/999.pdf"}) {
        auto response = get(target);
        EXPECT_EQ(response.status, 404u) << target;
        EXPECT_EQ(detail(response), "No plot with ID 999") << target;
    }
}

TEST_F(StoredPlanRoutes, PaperSizesOutsideA0Are422) {
    struct Case {
        std::string query;
        std::string detail_part;
    };
    const std::vector<Case> cases{
        {"max_width_mm=0", "\"max_width_mm\" must be at least 10 mm and at most 1189 mm (A0)"},
        {"max_width_mm=-10", "max_width_mm"},
        {"max_height_mm=1189.5",
         "\"max_height_mm\" must be at least 10 mm and at most 1189 mm (A0)"},
        {"max_height_mm=5000", "A0"},
        {"max_width_mm=inf", "valid number"},
        {"max_width_mm=nan", "valid number"},
        {"max_height_mm=wide", "valid number"},
    };
    for (const char* format : {"", ".png", ".pdf"}) {
        for (const auto& c : cases) {
            std::string target = std::string("/plots/site-plan/101") + format + "?" + c.query;
            auto response = get(target);
            EXPECT_EQ(response.status, 422u) << target << " -> " << response.body.view();
            EXPECT_NE(detail(response).find(c.detail_part), std::string::npos)
                << target << " -> " << response.body.view();
        }
    }
    // A0 itself is allowed.
    EXPECT_EQ(get("/plots/site-plan/101.pdf?max_width_mm=1189&max_height_mm=841").status, 200u);
}

TEST_F(StoredPlanRoutes, DrawingDoesNotHoldTheDatabaseConnection) {
    // One connection for both requests: the lookup of an unknown plot, asked for second, is
    // answered while the first plan is still being drawn on A2.
    host::database::set_default_pool(host::database::Pool::create(
        host::event_loop().get_executor(), {.conninfo = fixture_database().url(), .size = 1}));
    std::vector<std::string> finished;
    auto request = [&](std::string target) -> host::awaitable<void> {
        auto response = co_await app().handle(get_request(target));
        EXPECT_NE(response.status, 500u) << target;
        finished.push_back(target);
    };
    auto both = [&]() -> host::awaitable<void> {
        using namespace boost::asio::experimental::awaitable_operators;
        co_await (request("/plots/site-plan/101.png?max_width_mm=594&max_height_mm=420") &&
                  request("/plots/site-plan/999"));
    };
    kavara::test::run(both());
    EXPECT_EQ(finished, (std::vector<std::string>{
                            "/plots/site-plan/999",
                            "/plots/site-plan/101.png?max_width_mm=594&max_height_mm=420"}));
}

// The process's count of PostgreSQL time-outs, from its metrics.
double postgresql_timeouts() {
    std::istringstream lines(host::metrics::exposition());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("kavara_backend_errors_total{", 0) == 0 &&
            line.find("server=\"postgresql\"") != std::string::npos &&
            line.find("kind=\"timeout\"") != std::string::npos)
            return std::stod(line.substr(line.rfind(' ') + 1));
    }
    return 0;
}

// Another session holding a lock on the plots stalls the lookup; the request is answered 503 in
// bounded time and counted as a PostgreSQL time-out, and the pooled session works again once the
// lock is gone.
TEST_F(StoredPlanRoutes, AStalledDatabaseIsReportedNotWaitedFor) {
    std::unique_ptr<PGconn, decltype(&PQfinish)> locker(
        PQconnectdb(fixture_database().url().c_str()), &PQfinish);
    ASSERT_EQ(PQstatus(locker.get()), CONNECTION_OK);
    auto exec = [&](const char* statement) {
        std::unique_ptr<PGresult, decltype(&PQclear)> result(PQexec(locker.get(), statement),
                                                             &PQclear);
        ASSERT_EQ(PQresultStatus(result.get()), PGRES_COMMAND_OK) << statement;
    };
    exec(R"(BEGIN; LOCK TABLE "GIS"."PLOT" IN ACCESS EXCLUSIVE MODE)");
    const double timeouts = postgresql_timeouts();
    const auto started = std::chrono::steady_clock::now();
    auto stalled = get("/plots/site-plan/101.png");
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(stalled.status, 503u);
    EXPECT_NE(detail(stalled).find("plot 101"), std::string::npos) << detail(stalled);
    EXPECT_LT(waited, std::chrono::seconds(8));
    EXPECT_EQ(postgresql_timeouts(), timeouts + 1);
    exec("ROLLBACK");
    EXPECT_EQ(get("/plots/site-plan/101.png").status, 200u);
}

TEST_F(StoredPlanRoutes, ApiDocumentListsTheRoutesAndTheirParameters) {
    auto doc = app().openapi("site plans");
    for (const char* path : {"/plots/site-plan/{plot_id}", "/plots/site-plan/{plot_id}.png",
                             "/plots/site-plan/{plot_id}.pdf"}) {
        SCOPED_TRACE(path);
        const auto& op = doc["paths"][path]["get"];
        ASSERT_TRUE(op.is_object());
        EXPECT_FALSE(op["description"].get<std::string>().empty());
        const auto& params = op["parameters"];
        ASSERT_EQ(params.size(), 3u);
        EXPECT_EQ(params[0]["name"], "plot_id");
        EXPECT_EQ(params[0]["in"], "path");
        EXPECT_EQ(params[0]["schema"]["type"], "integer");
        EXPECT_EQ(params[1]["name"], "max_width_mm");
        EXPECT_EQ(params[1]["in"], "query");
        EXPECT_EQ(params[1]["required"], false);
        EXPECT_EQ(params[1]["schema"]["default"], 190.0);
        EXPECT_EQ(params[2]["name"], "max_height_mm");
        EXPECT_EQ(params[2]["schema"]["default"], 160.0);
        for (const auto& param : params)
            EXPECT_TRUE(param.contains("description")) << param.dump();
    }
    EXPECT_TRUE(doc["paths"]["/plots/site-plan"]["post"].is_object());
}

}  // namespace
