// GET /gis/{layer}/bbox/ on the shared servers: its own limiter, the validations in their
// order, the clamped feature limit and the rounded cache key, hits and misses, empty boxes.
#include "harness.hpp"
#include "mvt_reader.hpp"
#include "tileway/tile_grid.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

namespace kavara::test::tileway {
namespace {

using namespace std::chrono_literals;

constexpr const char* kCacheControl = "public, max-age=1800";

std::string bbox_target(const std::string& layer, double minx, double miny, double maxx,
                        double maxy, const std::string& extra = "") {
    return fmt::format("/gis/{}/bbox/?minx={}&miny={}&maxx={}&maxy={}{}", layer, minx, miny, maxx,
                       maxy, extra);
}

struct LonLat {
    double lon, lat;
};

// The centre of the seeded plots in degrees.
LonLat seeded_centre() {
    auto rows = sql(R"(SELECT ST_X(c) || ' ' || ST_Y(c) FROM (
                           SELECT ST_Transform(ST_SetSRID(ST_Centroid(ST_Extent("GEOMETRY")), 3857),
                                               4326) AS c FROM "GIS"."PLOT") AS centre)");
    LonLat centre{};
    std::sscanf(rows.at(0).c_str(), "%lf %lf", &centre.lon, &centre.lat);
    return centre;
}

// The box's corners in EPSG:3857, as PostGIS transforms them.
std::vector<double> corners_3857(double minx, double miny, double maxx, double maxy) {
    auto rows = sql(fmt::format(
        "SELECT concat_ws(' ', ST_XMin(b), ST_YMin(b), ST_XMax(b), ST_YMax(b)) FROM "
        "(SELECT ST_Transform(ST_MakeEnvelope({}, {}, {}, {}, 4326), 3857) AS b) AS box",
        minx, miny, maxx, maxy));
    std::vector<double> corners(4);
    std::sscanf(rows.at(0).c_str(), "%lf %lf %lf %lf", &corners[0], &corners[1], &corners[2],
                &corners[3]);
    return corners;
}

class BboxEndpoint : public ::testing::Test {
  protected:
    void SetUp() override {
        load_app(shared_servers());
        redis_.del_matching("mvt_v8:bbox:*");
    }

    RedisInspector redis_{shared_servers().redis_port};
};

TEST_F(BboxEndpoint, TheTwentyFirstRequestOfAWindowIsRefusedUnderItsOwnKey) {
    const auto client = fresh_client();
    const auto counted = bbox_target("roads", 0, 0, 1, 1);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 20; ++i)
        ASSERT_EQ(get(counted, client).status, 404u) << i;
    auto refused = get(counted, client);
    ASSERT_LT(seconds_since(start), 0.9) << "the 21 requests did not fit in one window";
    EXPECT_EQ(refused.status, 429u);
    EXPECT_EQ(detail(refused), "Too many bbox requests.");
    EXPECT_EQ(redis_.get("rate_limit:gis:bbox:" + client), "21");
    EXPECT_GT(redis_.pttl("rate_limit:gis:bbox:" + client), 0);
    EXPECT_FALSE(redis_.exists("rate_limit:gis:" + client)) << "the tile limiter counted it";

    // The z/x/y limiter of the same client is untouched.
    EXPECT_EQ(get("/gis/roads/1/0/0.pbf", client).status, 404u);

    ASSERT_TRUE(eventually([&] { return !redis_.exists("rate_limit:gis:bbox:" + client); }, 2s));
    EXPECT_EQ(get(counted, client).status, 404u);
    EXPECT_EQ(redis_.get("rate_limit:gis:bbox:" + client), "1");
}

TEST_F(BboxEndpoint, ValidationsRunInOrderWithTheirDetails) {
    struct Case {
        std::string target;
        unsigned status;
        std::string detail;
    };
    const char* kSrid = "Only SRID 4326 (WGS84) and 3857 (Web Mercator) are supported";
    const char* kTooLarge = "Bounding box too large. Maximum area: 1.0 square degrees";
    const std::string kNoArea = "Bounding box has no width or height: ";
    const Case cases[] = {
        // An unknown layer is refused before the SRID or the coordinates are looked at.
        {bbox_target("roads", 500, 500, 600, 600, "&srid=9999"), 404, "Layer 'roads' not found"},
        {bbox_target("plots", 7.4, 9.0, 7.5, 9.1, "&srid=2154"), 400, kSrid},
        {bbox_target("plots", 7.4, 9.0, 7.5, 9.1, "&srid=0"), 400, kSrid},
        // Longitudes are checked before latitudes.
        {bbox_target("plots", -181, -91, 7.5, 91), 400, "Invalid longitude values"},
        {bbox_target("plots", 7.4, 9.0, 180.0001, 9.1), 400, "Invalid longitude values"},
        {bbox_target("plots", 7.4, -90.0001, 7.5, 9.1), 400, "Invalid latitude values"},
        {bbox_target("plots", 7.4, 9.0, 7.5, 90.5), 400, "Invalid latitude values"},
        // Area: exactly 1.0 square degree passes, a little more does not.
        {bbox_target("plots", 7.0, 8.5, 8.0001, 9.5), 400, kTooLarge},
        {bbox_target("plots", -180, -90, 180, 90), 400, kTooLarge},
        // A box without width or height, in either SRID, after the checks above.
        {bbox_target("plots", 7.45, 9.0, 7.45, 9.1), 400,
         kNoArea + "minx=7.45, miny=9, maxx=7.45, maxy=9.1"},
        {bbox_target("plots", 7.4, 9.05, 7.5, 9.05), 400,
         kNoArea + "minx=7.4, miny=9.05, maxx=7.5, maxy=9.05"},
        {bbox_target("plots", 835000, 1010000, 835000, 1010000, "&srid=3857"), 400,
         kNoArea + "minx=835000, miny=1010000, maxx=835000, maxy=1010000"},
        {bbox_target("plots", 7.45, 95, 7.45, 95), 400, "Invalid latitude values"},
    };
    for (const auto& c : cases) {
        auto response = get(c.target, fresh_client());
        EXPECT_EQ(response.status, c.status) << c.target;
        EXPECT_EQ(detail(response), c.detail) << c.target;
    }
}

TEST_F(BboxEndpoint, BoxesAtTheLimitsPassEveryCheck) {
    const std::string passing[] = {
        bbox_target("plots", 7.0, 8.5, 8.0, 9.5),                  // exactly 1.0 square degree
        bbox_target("plots", -180, 0, -179.5, 1),                  // longitude bounds are inclusive
        bbox_target("plots", 179.5, 89, 180, 90),                  // and so are latitude bounds
        bbox_target("plots", 7.6, 9.2, 7.3, 8.9),                  // minimum above maximum
        bbox_target("plots", -1e9, -1e9, 1e9, 1e9, "&srid=3857"),  // 3857 is not limited
        bbox_target("plots", 1e9, 1e9, -1e9, -1e9, "&srid=3857"),  // in either corner order
    };
    for (const auto& target : passing) {
        auto response = get(target, fresh_client());
        EXPECT_TRUE(response.status == 200u || response.status == 204u)
            << target << " " << response.status << " " << response.body.view();
    }
}

TEST_F(BboxEndpoint, MissingOrIllTypedParametersAreRejectedBeforeTheHandler) {
    EXPECT_EQ(get("/gis/plots/bbox/?miny=1&maxx=2&maxy=3", fresh_client()).status, 422u);
    EXPECT_EQ(get(bbox_target("plots", 7.4, 9.0, 7.5, 9.1, "&srid=abc"), fresh_client()).status,
              422u);
    // A negative feature limit would fail in the statement's LIMIT.
    auto negative =
        get(bbox_target("plots", 7.44, 9.04, 7.46, 9.06, "&max_features=-1"), fresh_client());
    EXPECT_EQ(negative.status, 422u);
    EXPECT_EQ(json_body(negative)["detail"],
              nlohmann::json::parse(R"([{"type": "invalid", "loc": ["query", "max_features"],
                  "msg": "Input should be greater than or equal to 0", "input": "-1"}])"));
}

// The service works the EPSG:3857 box out itself; it must be PostGIS's to the last bit, or the
// keys and tiles would drift from those of the statement.
TEST(WebMercatorBounds, AreThoseOfPostGISToTheLastBit) {
    const std::vector<std::vector<double>> boxes{
        {7.44, 9.04, 7.46, 9.06},
        {7.46, 9.06, 7.44, 9.04},  // corners either way
        {-180, -90, 180, 90},
        {-180, -85.0511287798, 180, 85.0511287798},
        {0, 0, 1e-9, 1e-9},
        {-0.0001, -45.5, 0.0001, 45.5},
        {179.999999, 89.9999999, 180, 90},
        {3.379205, 6.524379, 3.38, 6.53},
    };
    for (const auto& b : boxes) {
        const auto ours = ::tileway::wgs84_to_web_mercator(b[0], b[1], b[2], b[3]);
        const auto theirs = corners_3857(b[0], b[1], b[2], b[3]);
        EXPECT_EQ((std::vector<double>{ours.minx, ours.miny, ours.maxx, ours.maxy}), theirs)
            << fmt::format("{}", fmt::join(b, ", "));
    }
}

TEST_F(BboxEndpoint, AMissIsStoredUnderTheRoundedKeyAndAnsweredFromItNextTime) {
    const auto c = seeded_centre();
    const double minx = c.lon - 0.004, miny = c.lat - 0.004, maxx = c.lon + 0.004,
                 maxy = c.lat + 0.004;
    auto miss = get(bbox_target("plots", minx, miny, maxx, maxy), fresh_client());
    ASSERT_EQ(miss.status, 200u) << miss.body.view();
    EXPECT_EQ(miss.media_type, "application/vnd.mapbox-vector-tile");
    EXPECT_EQ(miss.header("X-Cache"), "MISS");
    EXPECT_EQ(miss.header("Cache-Control"), kCacheControl);
    const auto layers = mvt::decode(miss.body.view());
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].name, "plots");
    EXPECT_EQ(layers[0].extent, 4096u);
    EXPECT_FALSE(layers[0].features.empty());

    const auto keys = redis_.keys("mvt_v8:bbox:*");
    ASSERT_EQ(keys.size(), 1u);
    std::smatch parts;
    // Not simplified: the box is below 0.01 square degrees.
    const std::regex key_form(R"(mvt_v8:bbox:plots:(-?\d+):(-?\d+):(-?\d+):(-?\d+):5000:False)");
    ASSERT_TRUE(std::regex_match(keys[0], parts, key_form)) << keys[0];
    const auto corners = corners_3857(minx, miny, maxx, maxy);
    for (int i = 0; i < 4; ++i)
        EXPECT_LE(std::abs(std::stod(parts[i + 1].str()) - corners[static_cast<std::size_t>(i)]),
                  0.5)
            << keys[0];
    EXPECT_EQ(redis_.get(keys[0]), miss.body.str());
    EXPECT_GT(redis_.ttl(keys[0]), 1790);
    EXPECT_LE(redis_.ttl(keys[0]), 1800);

    auto hit = get(bbox_target("plots", minx, miny, maxx, maxy), fresh_client());
    EXPECT_EQ(hit.status, 200u);
    EXPECT_EQ(hit.header("X-Cache"), "HIT");
    EXPECT_EQ(hit.header("Cache-Control"), kCacheControl);
    EXPECT_EQ(hit.body, miss.body);
}

// Below 0.01 square degrees the simplify flag changes nothing in the tile, so it shares the entry.
TEST_F(BboxEndpoint, BoxesRoundingToTheSameMetresAndBuiltAlikeShareAnEntry) {
    const auto c = seeded_centre();
    const double minx = c.lon - 0.003, miny = c.lat - 0.003, maxx = c.lon + 0.003,
                 maxy = c.lat + 0.003;
    // A millionth of a millimetre moves no corner across a half metre, unless it sits right on
    // one: then the two boxes would not share the entry and the test would say so.
    const double nudge = 1e-11;
    auto first = get(bbox_target("plots", minx, miny, maxx, maxy), fresh_client());
    ASSERT_EQ(first.header("X-Cache"), "MISS");
    auto nudged = get(bbox_target("plots", minx + nudge, miny + nudge, maxx - nudge, maxy - nudge),
                      fresh_client());
    EXPECT_EQ(nudged.header("X-Cache"), "HIT");
    EXPECT_EQ(nudged.body, first.body);
    auto unsimplified =
        get(bbox_target("plots", minx, miny, maxx, maxy, "&simplify=false"), fresh_client());
    EXPECT_EQ(unsimplified.header("X-Cache"), "HIT");
    const auto keys = redis_.keys("mvt_v8:bbox:*");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(keys[0].ends_with(":5000:False")) << keys[0];
}

// A box of 0.015625 square degrees is simplified in EPSG:4326; the same rectangle asked in
// EPSG:3857 is not, whatever its flag, and must never be answered with the simplified tile.
TEST_F(BboxEndpoint, ASimplifiedTileIsNeverTheAnswerToARequestThatIsNotSimplified) {
    const double minx = 7.25, miny = 9.0, maxx = 7.5, maxy = 9.0625;
    auto simplified = get(bbox_target("plots", minx, miny, maxx, maxy), fresh_client());
    ASSERT_EQ(simplified.header("X-Cache"), "MISS");
    const auto corners = corners_3857(minx, miny, maxx, maxy);
    auto mercator = get(bbox_target("plots", corners[0], corners[1], corners[2], corners[3],
                                    "&srid=3857&simplify=true"),
                        fresh_client());
    EXPECT_EQ(mercator.header("X-Cache"), "MISS");
    EXPECT_NE(mercator.body, simplified.body);
    // The unsimplified EPSG:4326 tile is the same tile, and shares the EPSG:3857 one's entry.
    auto unsimplified =
        get(bbox_target("plots", minx, miny, maxx, maxy, "&simplify=false"), fresh_client());
    EXPECT_EQ(unsimplified.header("X-Cache"), "HIT");
    EXPECT_EQ(unsimplified.body, mercator.body);
    const auto keys = redis_.keys("mvt_v8:bbox:*");
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_TRUE(keys[0].ends_with(":5000:False")) << keys[0];
    EXPECT_TRUE(keys[1].ends_with(":5000:True")) << keys[1];
}

TEST_F(BboxEndpoint, TheFeatureLimitIsClampedAndTheKeyCarriesTheClampedValue) {
    const auto c = seeded_centre();
    auto response = get(bbox_target("plots", c.lon - 0.002, c.lat - 0.002, c.lon + 0.002,
                                    c.lat + 0.002, "&max_features=50000"),
                        fresh_client());
    ASSERT_EQ(response.status, 200u);
    const auto keys = redis_.keys("mvt_v8:bbox:*");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_NE(keys[0].find(":15000:False"), std::string::npos) << keys[0];

    auto limited = get(bbox_target("plots", c.lon - 0.002, c.lat - 0.002, c.lon + 0.002,
                                   c.lat + 0.002, "&max_features=3"),
                       fresh_client());
    ASSERT_EQ(limited.status, 200u);
    EXPECT_EQ(mvt::decode(limited.body.view()).at(0).features.size(), 3u);
}

TEST_F(BboxEndpoint, AWebMercatorBoxIsUsedAsGivenAndKeyedInWholeMetres) {
    auto extent = sql(R"(SELECT concat_ws(' ', ST_XMin(e), ST_YMin(e), ST_XMax(e), ST_YMax(e))
                         FROM (SELECT ST_Extent("GEOMETRY") AS e FROM "GIS"."PLOT") AS x)");
    double minx = 0, miny = 0, maxx = 0, maxy = 0;
    std::sscanf(extent.at(0).c_str(), "%lf %lf %lf %lf", &minx, &miny, &maxx, &maxy);
    auto response =
        get(bbox_target("plots", minx + 0.5, miny + 2.5, maxx, maxy, "&srid=3857"), fresh_client());
    ASSERT_EQ(response.status, 200u);
    EXPECT_FALSE(mvt::decode(response.body.view()).at(0).features.empty());
    const auto keys = redis_.keys("mvt_v8:bbox:*");
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0], fmt::format("mvt_v8:bbox:plots:{:.0f}:{:.0f}:{:.0f}:{:.0f}:5000:False",
                                   minx + 0.5, miny + 2.5, maxx, maxy));
}

// Simplification only matters for boxes above 0.01 square degrees: below it the simplified and
// the unsimplified tile are the same bytes, above it they differ. The sides are exact binary
// fractions so that the areas are exactly 0.0078125 and 0.015625. Each tile is built afresh.
TEST_F(BboxEndpoint, OnlyBoxesAboveAHundredthOfASquareDegreeAreSimplified) {
    auto tile_of = [this](double minx, const char* simplify) {
        redis_.del_matching("mvt_v8:bbox:*");
        auto response = get(bbox_target("plots", minx, 9.0, 7.5, 9.0625, simplify), fresh_client());
        EXPECT_EQ(response.status, 200u) << minx << simplify;
        EXPECT_EQ(response.header("X-Cache"), "MISS") << minx << simplify;
        return response.body.str();
    };
    EXPECT_EQ(tile_of(7.375, "&simplify=true"), tile_of(7.375, "&simplify=false"));
    EXPECT_NE(tile_of(7.25, "&simplify=true"), tile_of(7.25, "&simplify=false"));
}

TEST_F(BboxEndpoint, ARequestWithoutClientIsCountedAsUnknown) {
    redis_.del("rate_limit:gis:bbox:unknown");
    EXPECT_EQ(get(bbox_target("roads", 0, 0, 1, 1), std::nullopt).status, 404u);
    EXPECT_EQ(redis_.get("rate_limit:gis:bbox:unknown"), "1");
}

TEST_F(BboxEndpoint, AnEmptyBoxIs204AndNothingIsStored) {
    for (const auto& target : {bbox_target("plots", 0.1, 0.1, 0.2, 0.2),
                               bbox_target("plots", 1000, 1000, 2000, 2000, "&srid=3857"),
                               bbox_target("plots", 7.44, 9.04, 7.46, 9.06, "&max_features=0")}) {
        auto response = get(target, fresh_client());
        EXPECT_EQ(response.status, 204u) << target;
        EXPECT_TRUE(response.body.empty());
        EXPECT_TRUE(response.headers.empty());
    }
    EXPECT_TRUE(redis_.keys("mvt_v8:bbox:*").empty());
}

}  // namespace
}  // namespace kavara::test::tileway
