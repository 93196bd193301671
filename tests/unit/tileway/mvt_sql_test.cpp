// The tile statement is compared as whole texts: callers and stored tiles depend on its exact
// shape (line breaks, indentation, trailing spaces).
#include "tileway/mvt_sql.hpp"
#include "tileway/catalogue.hpp"

#include <gtest/gtest.h>

namespace {

using tileway::generate_mvt_sql;

const char* const kPlotsZoom14 = R"(
    SELECT ST_AsMVT(mvt_data, 'plots', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU", "file_no",
            "ID" AS feature_id,
            ST_AsMVTGeom(
                ST_SimplifyPreserveTopology("GEOMETRY", 10),
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                64,
                true
            ) AS mvt_geom
        FROM "GIS"."PLOT"
        WHERE 
        "GEOMETRY" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        AND ST_Intersects("GEOMETRY", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))
        
        ORDER BY ST_Area("GEOMETRY") DESC
        LIMIT 15000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    )";

const char* const kLgasZoom5 = R"(
    SELECT ST_AsMVT(mvt_data, 'lgas', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "id", "name",
            "id" AS feature_id,
            ST_AsMVTGeom(
                ST_SimplifyPreserveTopology("geometry", 500),
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                256,
                true
            ) AS mvt_geom
        FROM "GIS"."LGAs"
        WHERE "geometry" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        ORDER BY ST_Area("geometry") DESC
        LIMIT 3000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    )";

const char* const kBeaconsZoom18 = R"(
    SELECT ST_AsMVT(mvt_data, 'beacons', 4096, 'mvt_geom') AS mvt
    FROM (
        SELECT "ID", "BEACON_NO", "STATUS", "REMARK",
            "ID" AS feature_id,
            ST_AsMVTGeom(
                "GEOMETRY",
                ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857),
                4096,
                8,
                true
            ) AS mvt_geom
        FROM "GIS"."BEACON"
        WHERE 
        "GEOMETRY" && ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857)
        AND ST_Intersects("GEOMETRY", ST_MakeEnvelope(:min_x, :min_y, :max_x, :max_y, 3857))
        
        ORDER BY ST_Area("GEOMETRY") DESC
        LIMIT 15000
    ) AS mvt_data
    WHERE mvt_data.mvt_geom IS NOT NULL;
    )";

TEST(TileStatement, WholeTextsForSeveralLayersAndZooms) {
    EXPECT_EQ(generate_mvt_sql("plots", 14).first, kPlotsZoom14);
    EXPECT_EQ(generate_mvt_sql("lgas", 5).first, kLgasZoom5);
    EXPECT_EQ(generate_mvt_sql("beacons", 18).first, kBeaconsZoom18);
}

TEST(TileStatement, BandChoices) {
    auto [z16, band16] = generate_mvt_sql("plots", 16);
    EXPECT_NE(z16.find("                \"GEOMETRY\",\n"), std::string::npos);  // bare column
    EXPECT_NE(z16.find("LIMIT 15000\n"), std::string::npos);                    // capped, not 20000
    EXPECT_NE(z16.find("                16,\n"), std::string::npos);
    EXPECT_EQ(band16.cache_ttl, 1800);
    EXPECT_NE(generate_mvt_sql("lgas", 7).first.find("AND ST_Intersects"), std::string::npos);
    EXPECT_EQ(generate_mvt_sql("lgas", 6).first.find("ST_Intersects"), std::string::npos);
    EXPECT_EQ(generate_mvt_sql("plots", 12).second.cache_ttl, 1800);
    // No zoom, or zoom 0: the band of zoom 10.
    EXPECT_EQ(generate_mvt_sql("plots").second, *tileway::get_zoom_config(10, "plots"));
    EXPECT_EQ(generate_mvt_sql("lgas", 0).second, *tileway::get_zoom_config(10, "lgas"));
}

TEST(TileStatement, ValueErrors) {
    try {
        generate_mvt_sql("cadzones", 3);
        FAIL() << "expected a value error";
    } catch (const tileway::ValueError& e) {
        EXPECT_STREQ(e.what(), "Layer cadzones not available at zoom level 3");
    }
    try {
        generate_mvt_sql("roads", 14);
        FAIL() << "expected a value error";
    } catch (const tileway::ValueError& e) {
        EXPECT_STREQ(e.what(), "Unknown layer: roads");
    }
}

TEST(TileStatement, CachedStatementsEqualFreshOnes) {
    for (const auto& [name, config] : tileway::LAYER_CONFIG) {
        for (int z = config.min_zoom_or_zero(); z <= 20; ++z) {
            const auto& cached = tileway::mvt_sql_for_tile(name, z);
            EXPECT_EQ(cached.first, generate_mvt_sql(name, z).first);
            EXPECT_EQ(&cached, &tileway::mvt_sql_for_tile(name, z));  // built once
        }
    }
    EXPECT_THROW(tileway::mvt_sql_for_tile("beacons", 11), tileway::ValueError);
}

TEST(Catalogue, OrderAndNames) {
    EXPECT_EQ(tileway::LAYER_CONFIG.keys(),
              (std::vector<std::string>{"plots", "beacons", "cadzones", "districts", "lgas"}));
    EXPECT_EQ(tileway::quoted_name_list({"cadzones", "districts", "lgas"}),
              "['cadzones', 'districts', 'lgas']");
    EXPECT_EQ(tileway::quoted_name_list({}), "[]");
}

}  // namespace
