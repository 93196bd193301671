#include "load.hpp"

#include "ewkb.hpp"
#include "random.hpp"
#include "schema_sql.hpp"
#include "vocabulary.hpp"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace seed {
namespace {

constexpr std::uint32_t web_mercator = 3857;
// Beacon numbers start above the smallest five-digit number, as survey series usually do.
constexpr std::int64_t first_beacon_number = 10001;
constexpr std::uint64_t beacon_stream = 0xBEAC0;

// In the order TRUNCATE and ANALYZE take them.
constexpr std::array<std::string_view, 7> tables{
    R"("GIS"."PLOT_BEACON")", R"("GIS"."PLOT")",      R"("GIS"."BEACON")", R"("GIS"."ROADS")",
    R"("GIS"."CadZones")",    R"("GIS"."Districts")", R"("GIS"."LGAs")"};

std::string table_list() {
    std::string list;
    for (std::string_view table : tables) {
        if (!list.empty())
            list += ", ";
        list += table;
    }
    return list;
}

struct Index {
    std::string name;
    std::string definition;
};

// The GiST indexes are rebuilt from their own definitions, so the schema file stays their one
// source.
std::vector<Index> gist_indexes(Connection& db) {
    std::vector<Index> indexes;
    for (auto& row : db.query("SELECT indexname, indexdef FROM pg_indexes WHERE schemaname = 'GIS'"
                              " AND indexdef LIKE '% USING gist %' ORDER BY indexname"))
        indexes.push_back({std::move(row[0]), std::move(row[1])});
    return indexes;
}

class TableWriter {
  public:
    TableWriter(Connection& db, const Cadastre& cadastre, const Projection& to_web_mercator,
                std::uint64_t seed, Progress& progress)
        : db_(db),
          cadastre_(cadastre),
          project_(to_web_mercator),
          seed_(seed),
          progress_(progress) {}

    void write_all() {
        write_administrative_areas();
        project_corners();
        write_plots();
        write_beacons();
        write_plot_beacons();
        write_roads();
    }

  private:
    void copy(std::string_view table, std::string_view columns,
              const std::function<void(CopyWriter&)>& fill) {
        std::string statement = "COPY ";
        statement.append(table).append(" (").append(columns).append(") FROM STDIN");
        const std::uint64_t rows = db_.copy_in(statement, fill);
        progress_.step("copied " + std::to_string(rows) + " rows into " + std::string(table));
    }

    std::vector<Point> projected(const std::vector<Point>& points) const {
        std::vector<Point> out = points;
        project_.transform(out);
        return out;
    }

    // An administrative area: id, name, its parent's id where `parent_of` gives one, outline.
    template <typename Area, typename ParentOf>
    void write_areas(std::string_view table, std::string_view columns,
                     const std::vector<Area>& areas, ParentOf parent_of) {
        copy(table, columns, [&](CopyWriter& row) {
            for (std::size_t i = 0; i < areas.size(); ++i) {
                row.integer(static_cast<std::int64_t>(i + 1)).text(areas[i].name);
                if (const std::optional<std::uint32_t> parent = parent_of(areas[i]))
                    row.integer(static_cast<std::int64_t>(*parent) + 1);
                ewkb::multi_polygon(row.raw(), projected(areas[i].ring), web_mercator);
                row.end_row();
            }
        });
    }

    void write_administrative_areas() {
        write_areas(R"("GIS"."LGAs")", R"("id", "name", "geometry")", cadastre_.lgas,
                    [](const Lga&) { return std::optional<std::uint32_t>(); });
        write_areas(R"("GIS"."Districts")", R"("id", "name", "lga_id", "geometry")",
                    cadastre_.districts,
                    [](const District& d) { return std::optional<std::uint32_t>(d.lga); });
        write_areas(R"("GIS"."CadZones")", R"("id", "name", "district_id", "geometry")",
                    cadastre_.zones,
                    [](const Zone& z) { return std::optional<std::uint32_t>(z.district); });
    }

    // Plots and beacons take their coordinates from this one array, so that a beacon lies
    // exactly on the corners of its plots.
    void project_corners() {
        corners_.reserve(cadastre_.corners.size());
        for (const Corner& corner : cadastre_.corners)
            corners_.push_back(corner.at);
        project_.transform(corners_);
        progress_.step("projected " + std::to_string(corners_.size()) + " corners to EPSG:3857");
    }

    static std::string file_number(const Plot& plot) {
        std::string serial = std::to_string(plot.file_serial);
        if (serial.size() < 5)
            serial.insert(0, 5 - serial.size(), '0');
        std::string number = "KV/";
        number.append(land_use_file_code(plot.land_use))
            .append("/")
            .append(std::to_string(plot.file_year))
            .append("/")
            .append(serial);
        return number;
    }

    void write_plots() {
        constexpr std::string_view columns =
            R"("ID", "PLOT_NO", "STATUS", "AREA_SYSTEM", "GENERAL_LU", "CADZONE", "DETAIL_LU",)"
            R"( "file_no", "GEOMETRY")";
        copy(R"("GIS"."PLOT")", columns, [&](CopyWriter& row) {
            std::vector<Point> ring;
            for (std::size_t i = 0; i < cadastre_.plots.size(); ++i) {
                const Plot& plot = cadastre_.plots[i];
                const std::string& zone = cadastre_.zones[plot.zone].name;
                row.integer(static_cast<std::int64_t>(i + 1))
                    .text(zone + "/" + std::to_string(plot.number))
                    .text(status_name(plot.status))
                    .real(plot.area, 2)
                    .text(land_use_name(plot.land_use))
                    .text(zone)
                    .text(detailed_uses(plot.land_use)[plot.detail]);
                if (plot.file_serial == 0) {
                    row.null();
                } else {
                    row.text(file_number(plot));
                }
                ring.clear();
                for (std::uint32_t corner : cadastre_.corners_of(plot))
                    ring.push_back(corners_[corner]);
                ewkb::polygon(row.raw(), ring, web_mercator);
                row.end_row();
            }
        });
    }

    // A beacon is named after the district of the first plot it bounds.
    std::vector<std::uint32_t> corner_districts() const {
        std::vector<std::uint32_t> district(cadastre_.corners.size());
        std::vector<bool> seen(cadastre_.corners.size(), false);
        for (const Plot& plot : cadastre_.plots) {
            for (std::uint32_t corner : cadastre_.corners_of(plot)) {
                if (seen[corner])
                    continue;
                seen[corner] = true;
                district[corner] = cadastre_.zones[plot.zone].district;
            }
        }
        return district;
    }

    // Street corners carry the district's control series ("SC/KM 10234"), the others the plot
    // beacon series ("PB 10235"); the number alone is unique across the area.
    void write_beacons() {
        const std::vector<std::uint32_t> district = corner_districts();
        copy(R"("GIS"."BEACON")", R"("ID", "BEACON_NO", "STATUS", "REMARK", "GEOMETRY")",
             [&](CopyWriter& row) {
                 std::string name;
                 for (std::size_t i = 0; i < cadastre_.corners.size(); ++i) {
                     const CornerKind kind = cadastre_.corners[i].kind;
                     name = kind == CornerKind::Street
                                ? "SC/" + cadastre_.districts[district[i]].code + " "
                                : std::string("PB ");
                     name += std::to_string(first_beacon_number + static_cast<std::int64_t>(i));
                     const BeaconNote note = beacon_note(kind, mix(seed_, beacon_stream, i));
                     row.integer(static_cast<std::int64_t>(i + 1))
                         .text(name)
                         .text(note.status)
                         .text(note.remark);
                     ewkb::point(row.raw(), corners_[i], web_mercator);
                     row.end_row();
                 }
             });
    }

    void write_plot_beacons() {
        copy(R"("GIS"."PLOT_BEACON")", R"("PLOT_ID", "SEQ", "BEACON_ID")", [&](CopyWriter& row) {
            for (std::size_t i = 0; i < cadastre_.plots.size(); ++i) {
                std::int64_t sequence = 0;
                for (std::uint32_t corner : cadastre_.corners_of(cadastre_.plots[i])) {
                    row.integer(static_cast<std::int64_t>(i + 1))
                        .integer(++sequence)
                        .integer(static_cast<std::int64_t>(corner) + 1);
                    row.end_row();
                }
            }
        });
    }

    void write_roads() {
        copy(R"("GIS"."ROADS")", R"("ID", "NAME", "KIND", "GEOMETRY")", [&](CopyWriter& row) {
            for (std::size_t i = 0; i < cadastre_.roads.size(); ++i) {
                const Road& road = cadastre_.roads[i];
                const bool corridor = road.kind == RoadKind::Corridor;
                row.integer(static_cast<std::int64_t>(i + 1))
                    .text(road.name)
                    .text(corridor ? "corridor" : "centreline");
                const std::vector<Point> points = projected(road.points);
                if (corridor) {
                    ewkb::polygon(row.raw(), points, web_mercator);
                } else {
                    ewkb::line_string(row.raw(), points, web_mercator);
                }
                row.end_row();
            }
        });
    }

    Connection& db_;
    const Cadastre& cadastre_;
    const Projection& project_;
    std::uint64_t seed_;
    Progress& progress_;
    std::vector<Point> corners_;
};

}  // namespace

void load_cadastre(Connection& db, const Cadastre& cadastre, const Projection& to_web_mercator,
                   std::uint64_t seed, Progress& progress) {
    db.execute(schema_sql);
    progress.step("schema applied");
    db.execute("BEGIN");
    db.execute("SET LOCAL maintenance_work_mem = '1GB'");
    // Every row is replaced: a change log entry per row would only slow the load down.
    db.execute("SET LOCAL kavara.change_log = 'off'");
    db.execute("TRUNCATE " + table_list());
    const std::vector<Index> indexes = gist_indexes(db);
    for (const Index& index : indexes)
        db.execute("DROP INDEX \"GIS\"." + db.quote_identifier(index.name));
    progress.step("emptied the tables and dropped " + std::to_string(indexes.size()) +
                  " GiST indexes");
    TableWriter(db, cadastre, to_web_mercator, seed, progress).write_all();
    for (const Index& index : indexes) {
        db.execute(index.definition);
        progress.step("built index " + index.name);
    }
    db.execute("COMMIT");
    progress.step("committed");
    db.execute("ANALYZE " + table_list());
    progress.step("analysed the tables");
}

}  // namespace seed
