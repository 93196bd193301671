#include "site_plans/plot_records.hpp"

#include "host/json_limits.hpp"

#include <plots/survey_bearings.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace site_plans {
namespace {

using plots::GridPoint;
using plots::Json;

// One row per recorded boundary beacon in "SEQ" order, each carrying the plot as well; a single
// row without beacon columns for a plot with none. The exterior ring in the grid comes along for
// that case: its vertices stand in for the beacons. (Deriving them here with ST_DumpPoints made
// the planner expect a thousand rows and compile the statement, which cost more than the rest.)
constexpr const char* target_sql = R"(
SELECT p."PLOT_NO" AS plot_no, ST_AsGeoJSON(p."GEOMETRY") AS geometry,
       ST_AsGeoJSON(ST_ExteriorRing(g.grid)) AS grid_ring, ST_Area(g.grid) AS area,
       ST_XMin(g.grid) AS min_e, ST_YMin(g.grid) AS min_n,
       ST_XMax(g.grid) AS max_e, ST_YMax(g.grid) AS max_n,
       ST_X(ST_Centroid(g.grid)) AS centroid_e, ST_Y(ST_Centroid(g.grid)) AS centroid_n,
       c.beacon_no, ST_X(c.web) AS web_x, ST_Y(c.web) AS web_y,
       ST_X(c.grid) AS grid_e, ST_Y(c.grid) AS grid_n
FROM "GIS"."PLOT" p
CROSS JOIN LATERAL (SELECT ST_Transform(p."GEOMETRY", 26332) AS grid) g
LEFT JOIN LATERAL (
    SELECT pb."SEQ" AS seq, b."BEACON_NO" AS beacon_no, b."GEOMETRY" AS web,
           ST_Transform(b."GEOMETRY", 26332) AS grid
    FROM "GIS"."PLOT_BEACON" pb JOIN "GIS"."BEACON" b ON b."ID" = pb."BEACON_ID"
    WHERE pb."PLOT_ID" = p."ID"
) c ON true
WHERE p."ID" = :plot_id
ORDER BY c.seq
)";

// Neighbours first, then roads, each by "ID", so that the same data always draws the same plan.
constexpr const char* surroundings_sql = R"(
WITH win AS (SELECT ST_Transform(ST_MakeEnvelope(:min_e, :min_n, :max_e, :max_n, 26332), 3857) AS g)
SELECT 'parcel' AS kind, p."ID" AS id, ST_AsGeoJSON(p."GEOMETRY") AS geometry
FROM "GIS"."PLOT" p, win
WHERE ST_Intersects(p."GEOMETRY", win.g) AND p."ID" <> :plot_id
UNION ALL
SELECT 'road', r."ID", ST_AsGeoJSON(r."GEOMETRY")
FROM "GIS"."ROADS" r, win
WHERE ST_Intersects(r."GEOMETRY", win.g)
ORDER BY 1, 2
)";

// The renderer decides what of the surroundings it draws; the query only has to leave nothing
// out. A margin of 1 % of the window absorbs the difference between the centroid computed here
// and the renderer's, and the bend of a straight edge of the window between the two systems.
constexpr double window_margin = 0.01;

struct Corner {
    std::optional<std::string> name;
    double web_x = 0;
    double web_y = 0;
    GridPoint grid;
};

struct Target {
    std::string plot_no;
    Json geometry;
    double area_m2 = 0;
    plots::Bounds bounds;
    plots::Point centroid;
    bool beacons_recorded = true;
    std::vector<Corner> corners;
};

std::string optional_text(const host::database::Field& field) {
    return field.is_null() ? std::string() : field.text();
}

Corner corner_of(const host::database::Row& row) {
    auto name = row["beacon_no"];
    return {name.is_null() ? std::nullopt : std::optional(name.text()),
            row["web_x"].as_double(),
            row["web_y"].as_double(),
            {row["grid_e"].as_double(), row["grid_n"].as_double()}};
}

// The vertices of the exterior ring, unnamed, in boundary order. Both rings have the same
// vertices in the same order, since a transformation moves each vertex on its own.
std::vector<Corner> ring_corners(const Json& web_polygon, const Json& grid_ring) {
    const Json& web = web_polygon.at("coordinates").at(0);
    const Json& grid = grid_ring.at("coordinates");
    std::vector<GridPoint> grid_points;
    for (const auto& vertex : grid)
        grid_points.push_back({vertex.at(0).get<double>(), vertex.at(1).get<double>()});
    std::vector<Corner> corners;
    for (std::size_t i : plots::clockwise_from_north_west(grid_points)) {
        corners.push_back({std::nullopt, web.at(i).at(0).get<double>(),
                           web.at(i).at(1).get<double>(), grid_points[i]});
    }
    return corners;
}

Json geojson(const host::database::Field& field) {
    return host::parse_json<Json>(field.text());
}

Target target_of(const host::database::Result& result) {
    auto first = result.row(0);
    Target target{optional_text(first["plot_no"]),
                  geojson(first["geometry"]),
                  first["area"].as_double(),
                  {first["min_e"].as_double(), first["min_n"].as_double(),
                   first["max_e"].as_double(), first["max_n"].as_double()},
                  {first["centroid_e"].as_double(), first["centroid_n"].as_double()},
                  true,
                  {}};
    for (int i = 0; i < result.rows(); ++i) {
        auto row = result.row(i);
        if (!row["web_x"].is_null())
            target.corners.push_back(corner_of(row));
    }
    if (target.corners.empty()) {
        target.beacons_recorded = false;
        target.corners = ring_corners(target.geometry, geojson(first["grid_ring"]));
    }
    return target;
}

Json point(double x, double y) {
    return Json{{"type", "Point"}, {"coordinates", Json::array({x, y})}};
}

Json beacon_records(const std::vector<Corner>& corners) {
    std::vector<GridPoint> grid;
    grid.reserve(corners.size());
    for (const auto& corner : corners)
        grid.push_back(corner.grid);
    auto legs = plots::boundary_legs(grid);
    Json records = Json::array();
    for (std::size_t i = 0; i < corners.size(); ++i) {
        records.push_back(Json{{"beacon_name", corners[i].name.value_or("")},
                               {"geometry", point(corners[i].web_x, corners[i].web_y)},
                               {"bearing_deg_to_next", legs[i].bearing.degrees},
                               {"bearing_min_to_next", legs[i].bearing.minutes},
                               {"distance_to_next", legs[i].distance_m}});
    }
    return records;
}

Json target_record(std::int64_t plot_id, Target&& target) {
    Json record;
    record[plot_id_key] = plot_id;
    record["geometry"] = std::move(target.geometry);
    record["name"] = target.plot_no;
    record["area"] = std::round(target.area_m2 * 100) / 100;
    record["boundary"] = beacon_records(target.corners);
    return record;
}

host::database::Params window_params(std::int64_t plot_id, const plots::Bounds& ground) {
    double pad = window_margin * std::max(ground.maxx - ground.minx, ground.maxy - ground.miny);
    return {{"plot_id", plot_id},
            {"min_e", ground.minx - pad},
            {"min_n", ground.miny - pad},
            {"max_e", ground.maxx + pad},
            {"max_n", ground.maxy + pad}};
}

void add_surroundings(const host::database::Result& result, PlotRecords& records) {
    for (int i = 0; i < result.rows(); ++i) {
        auto row = result.row(i);
        Json geometry = geojson(row["geometry"]);
        if (row["kind"].text() == "parcel") {
            records.parcel_data.push_back(
                Json{{plot_id_key, row["id"].as_int()}, {"geometry", std::move(geometry)}});
        } else {
            records.road_data.push_back(Json{{"geometry", std::move(geometry)}});
        }
    }
}

// "ID" is an integer column: no plot has an ID beyond its range, and PostgreSQL would refuse such
// a parameter rather than find nothing.
bool fits_id_column(std::int64_t plot_id) {
    return plot_id >= std::numeric_limits<std::int32_t>::min() &&
           plot_id <= std::numeric_limits<std::int32_t>::max();
}

}  // namespace

host::awaitable<std::optional<PlotRecords>> load_plot_records(host::database::Session& db,
                                                              std::int64_t plot_id,
                                                              const plots::Paper& paper) {
    if (!fits_id_column(plot_id))
        co_return std::nullopt;
    const host::database::Params target_params{{"plot_id", plot_id}};
    auto target_rows = co_await db.execute(target_sql, target_params);
    if (target_rows.rows() == 0)
        co_return std::nullopt;
    Target target = target_of(target_rows);

    PlotRecords records;
    records.plot_no = target.plot_no;
    records.window = plots::plan_window(target.bounds, target.centroid, paper);
    records.beacons_recorded = target.beacons_recorded;
    records.parcel_data = Json::array({target_record(plot_id, std::move(target))});
    records.road_data = Json::array();

    auto params = window_params(plot_id, records.window.ground);
    auto surroundings = co_await db.execute(surroundings_sql, params);
    add_surroundings(surroundings, records);
    co_return records;
}

}  // namespace site_plans
