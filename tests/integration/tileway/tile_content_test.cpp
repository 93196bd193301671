// The bytes of a z/x/y tile: exactly what the database encodes for the same statement, and a
// vector tile whose single layer carries the catalogue's properties.
#include "harness.hpp"
#include "mvt_reader.hpp"

#include "tileway/mvt_sql.hpp"
#include "tileway/tile_grid.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <set>

namespace kavara::test::tileway {
namespace {

// The tile's statement with its bounds written in as literals (shortest text that reads back
// as the same double), run on a connection of the test's own.
std::string tile_hex_from_database(const std::string& layer, const TileAddress& tile) {
    std::string statement = ::tileway::generate_mvt_sql(layer, static_cast<int>(tile.z)).first;
    const auto bbox = ::tileway::xyz_to_bbox_web_mercator(tile.z, tile.x, tile.y);
    const std::pair<const char*, double> bounds[] = {
        {":min_x", bbox.minx}, {":min_y", bbox.miny}, {":max_x", bbox.maxx}, {":max_y", bbox.maxy}};
    for (const auto& [parameter, corner] : bounds) {
        const std::string literal = fmt::format("{}::float8", corner);
        for (auto at = statement.find(parameter); at != std::string::npos;
             at = statement.find(parameter, at + literal.size()))
            statement.replace(at, std::string_view(parameter).size(), literal);
    }
    // As a subquery the statement must lose its closing semicolon.
    statement.erase(statement.find_last_not_of(" \n;") + 1);
    auto rows = sql("SELECT encode(mvt, 'hex') FROM (" + statement + ") AS tile");
    return rows.empty() ? std::string() : rows[0];
}

class TileContent : public ::testing::Test {
  protected:
    void SetUp() override { load_app(shared_servers()); }

    std::string fetch(const std::string& layer, const TileAddress& tile) {
        redis_.del("mvt_v8:" + layer + ":" + std::to_string(tile.z) + ":" + std::to_string(tile.x) +
                   ":" + std::to_string(tile.y));
        auto response = get("/gis/" + layer + "/" + tile.path() + ".pbf", fresh_client());
        EXPECT_EQ(response.status, 200u) << layer << " " << tile.path();
        return response.body.str();
    }

    RedisInspector redis_{shared_servers().redis_port};
};

TEST_F(TileContent, TheServedBytesAreTheBytesTheDatabaseEncodes) {
    struct Case {
        const char* layer;
        std::int64_t z;
    };
    // Detailed, overview and coarse bands (the coarse one filters by bounding box only).
    for (const Case c : {Case{"plots", 16}, Case{"plots", 14}, Case{"plots", 9},
                         Case{"beacons", 15}, Case{"cadzones", 6}, Case{"lgas", 3}}) {
        const auto tile = tile_with_plots(c.z);
        const auto served = fetch(c.layer, tile);
        ASSERT_FALSE(served.empty()) << c.layer << " " << tile.path();
        EXPECT_EQ(to_hex(served), tile_hex_from_database(c.layer, tile))
            << c.layer << " " << tile.path();
    }
}

// More tiles at once than the pool has connections: every answer, built or read from the
// cache, is its own tile's.
TEST_F(TileContent, ConcurrentTilesEachGetTheirOwnBytes) {
    const auto centre = tile_with_plots(17);
    std::vector<TileAddress> tiles;
    std::vector<std::string> targets;
    for (std::int64_t dx = -2; dx <= 1; ++dx)
        for (std::int64_t dy = -1; dy <= 1; ++dy) {
            tiles.push_back({17, centre.x + dx, centre.y + dy});
            redis_.del(fmt::format("mvt_v8:plots:17:{}:{}", centre.x + dx, centre.y + dy));
            targets.push_back("/gis/plots/" + tiles.back().path() + ".pbf");
        }
    const auto built = get_concurrently(targets, fresh_client());
    const auto cached = get_concurrently(targets, fresh_client());
    for (std::size_t i = 0; i < tiles.size(); ++i) {
        const auto expected = tile_hex_from_database("plots", tiles[i]);
        EXPECT_EQ(built[i].status, expected.empty() ? 204u : 200u) << tiles[i].path();
        EXPECT_EQ(to_hex(built[i].body.view()), expected) << tiles[i].path();
        EXPECT_EQ(to_hex(cached[i].body.view()), expected) << tiles[i].path();
        if (!expected.empty()) {
            EXPECT_EQ(cached[i].header("X-Cache"), "HIT") << tiles[i].path();
        }
    }
}

TEST_F(TileContent, APlotsTileDecodesToOneLayerWithTheCatalogueProperties) {
    const auto tile = tile_with_plots(14);
    const auto layers = mvt::decode(fetch("plots", tile));
    ASSERT_EQ(layers.size(), 1u);
    const auto& layer = layers[0];
    EXPECT_EQ(layer.name, "plots");
    EXPECT_EQ(layer.extent, 4096u);
    EXPECT_EQ(layer.version, 2u);
    ASSERT_FALSE(layer.features.empty());

    const std::set<std::string> expected_keys{"feature_id", "ID",          "PLOT_NO",
                                              "STATUS",     "AREA_SYSTEM", "GENERAL_LU",
                                              "CADZONE",    "DETAIL_LU",   "file_no"};
    EXPECT_EQ(std::set<std::string>(layer.keys.begin(), layer.keys.end()), expected_keys);

    std::set<std::string> ids;
    constexpr std::int64_t buffer = 64;  // the clipping buffer of zoom 14
    for (const auto& feature : layer.features) {
        EXPECT_EQ(feature.type, mvt::GeomType::polygon);
        ASSERT_TRUE(feature.properties.count("feature_id"));
        ASSERT_TRUE(feature.properties.count("ID"));
        EXPECT_EQ(mvt::to_text(feature.properties.at("feature_id")),
                  mvt::to_text(feature.properties.at("ID")));
        ids.insert(mvt::to_text(feature.properties.at("ID")));
        for (const auto& ring : feature.parts)
            for (const auto& point : ring) {
                EXPECT_GE(point.x, -buffer);
                EXPECT_LE(point.x, 4096 + buffer);
                EXPECT_GE(point.y, -buffer);
                EXPECT_LE(point.y, 4096 + buffer);
            }
    }
    EXPECT_EQ(ids.size(), layer.features.size()) << "a plot appears twice";

    // The properties of one feature are the columns of its row.
    const auto& sample = layer.features.front();
    const auto id = mvt::to_text(sample.properties.at("ID"));
    const auto row = sql(R"(SELECT concat_ws('|', "PLOT_NO", "STATUS", "GENERAL_LU", "CADZONE",
                                              "DETAIL_LU", "file_no")
                            FROM "GIS"."PLOT" WHERE "ID" = )" +
                         id);
    ASSERT_EQ(row.size(), 1u);
    std::string from_tile;
    for (const char* column :
         {"PLOT_NO", "STATUS", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no"}) {
        auto it = sample.properties.find(column);
        if (it == sample.properties.end())
            continue;  // null columns are left out of a tile
        from_tile += (from_tile.empty() ? "" : "|") + mvt::to_text(it->second);
    }
    EXPECT_EQ(from_tile, row[0]);
}

TEST_F(TileContent, AnAdministrativeTileNamesItsLayerAndItsColumns) {
    const auto layers = mvt::decode(fetch("cadzones", tile_with_plots(12)));
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(layers[0].name, "cadzones");
    EXPECT_EQ(layers[0].extent, 4096u);
    EXPECT_EQ(std::set<std::string>(layers[0].keys.begin(), layers[0].keys.end()),
              (std::set<std::string>{"feature_id", "id", "name", "district_id"}));
}

}  // namespace
}  // namespace kavara::test::tileway
