// Writes the plan inputs of this folder. Parcels are laid out in EPSG:26332 (Minna / UTM 32N)
// near 7.4E 9.05N, stored in EPSG:3857 rounded to the millimetre as the host sends them, and
// their beacons carry the grid bearing and distance of each leg measured on those stored
// coordinates. Run: make-plan-inputs OUTPUT_DIR
#include <proj.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <fstream>
#include <iostream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

struct En {
    double e;
    double n;
};
using Ring = std::vector<En>;

class Projection {
  public:
    Projection() : context_(proj_context_create()) {
        PJ* raw = proj_create_crs_to_crs(context_, "EPSG:3857", "EPSG:26332", nullptr);
        pj_ = proj_normalize_for_visualization(context_, raw);
        proj_destroy(raw);
        if (!pj_)
            throw std::runtime_error("cannot build the transformation");
    }
    ~Projection() {
        proj_destroy(pj_);
        proj_context_destroy(context_);
    }
    En forward(En web) const { return apply(web, PJ_FWD); }
    En to_web(En grid) const {
        En web = apply(grid, PJ_INV);
        return {std::round(web.e * 1000) / 1000, std::round(web.n * 1000) / 1000};
    }

  private:
    En apply(En p, PJ_DIRECTION direction) const {
        PJ_COORD out = proj_trans(pj_, direction, proj_coord(p.e, p.n, 0, 0));
        return {out.xy.x, out.xy.y};
    }
    PJ_CONTEXT* context_;
    PJ* pj_;
};

const Projection& projection() {
    static const Projection p;
    return p;
}

Json web_point(En grid) {
    En w = projection().to_web(grid);
    return Json::array({w.e, w.n});
}

Json web_ring(const Ring& ring) {
    Json coords = Json::array();
    for (const auto& p : ring)
        coords.push_back(web_point(p));
    coords.push_back(web_point(ring.front()));
    return coords;
}

Json polygon(const std::vector<Ring>& rings) {
    Json coords = Json::array();
    for (const auto& ring : rings)
        coords.push_back(web_ring(ring));
    return Json{{"type", "Polygon"}, {"coordinates", coords}};
}

Json line(const Ring& vertices) {
    Json coords = Json::array();
    for (const auto& p : vertices)
        coords.push_back(web_point(p));
    return Json{{"type", "LineString"}, {"coordinates", coords}};
}

// The point (`x`, `y`) of a frame at `at` turned by `deg`.
En turned(En at, double deg, double x, double y) {
    double a = deg * std::numbers::pi / 180;
    return {at.e + x * std::cos(a) - y * std::sin(a), at.n + x * std::sin(a) + y * std::cos(a)};
}

// A rectangle of `w` x `h` m whose lower-left corner is `at`, turned by `deg` about that corner,
// clockwise from the lower-left corner as surveyors walk a boundary.
Ring rectangle(En at, double w, double h, double deg = 0) {
    return {turned(at, deg, 0, 0), turned(at, deg, 0, h), turned(at, deg, w, h),
            turned(at, deg, w, 0)};
}

// The lot `across` lots to the right of and `back` lots behind the lot whose lower-left corner is
// `at`, in a block of `w` x `h` m lots turned by `deg`.
Ring lot(En at, double w, double h, double deg, double across, double back) {
    return rectangle(turned(at, deg, across * w, back * h), w, h, deg);
}

double area(const Ring& ring) {
    double twice = 0;
    for (std::size_t i = 0; i < ring.size(); ++i) {
        const En& a = ring[i];
        const En& b = ring[(i + 1) % ring.size()];
        twice += a.e * b.n - b.e * a.n;
    }
    return std::abs(twice) / 2;
}

// Grid bearing (clockwise from grid north) and distance of each leg, measured on the stored
// coordinates so that they agree with what the renderer projects.
Json beacons(const Ring& ring, const std::vector<std::string>& names) {
    Json list = Json::array();
    for (std::size_t i = 0; i < ring.size(); ++i) {
        En a = projection().forward(projection().to_web(ring[i]));
        En b = projection().forward(projection().to_web(ring[(i + 1) % ring.size()]));
        double bearing = std::atan2(b.e - a.e, b.n - a.n) * 180 / std::numbers::pi;
        if (bearing < 0)
            bearing += 360;
        int deg = static_cast<int>(bearing);
        int min = static_cast<int>(std::lround((bearing - deg) * 60));
        if (min == 60) {
            deg = (deg + 1) % 360;
            min = 0;
        }
        double distance = std::round(std::hypot(b.e - a.e, b.n - a.n) * 100) / 100;
        list.push_back(
            Json{{"beacon_name", names[i]},
                 {"geometry", Json{{"type", "Point"}, {"coordinates", web_point(ring[i])}}},
                 {"bearing_deg_to_next", deg},
                 {"bearing_min_to_next", min},
                 {"distance_to_next", distance}});
    }
    return list;
}

Json parcel(int number, const Ring& ring) {
    return Json{{"parcel_number", number}, {"geometry", polygon({ring})}};
}

Json target(int number, const std::string& name, const Ring& ring,
            const std::vector<std::string>& names) {
    Json record = parcel(number, ring);
    record["name"] = name;
    record["area"] = std::round(area(ring) * 10) / 10;
    record["boundary"] = beacons(ring, names);
    return record;
}

std::vector<std::string> numbered(const std::string& prefix, int first, std::size_t count) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < count; ++i)
        names.push_back(prefix + std::to_string(first + static_cast<int>(i)));
    return names;
}

Json request(Json parcels, int selected, Json roads) {
    return Json{{"parcel_data", std::move(parcels)},
                {"selected_parcel_number", selected},
                {"road_data", std::move(roads)}};
}

constexpr En origin{324150, 1000600};

En offset(En p, double de, double dn) {
    return {p.e + de, p.n + dn};
}

// A 20 x 30 m plot in a row of plots along an access road, turned 8 degrees off grid north.
Json small_residential() {
    auto lot_of_row = [](double across, double back) {
        return lot(origin, 20.5, 30.2, 8.37, across, back);
    };
    Json parcels = Json::array();
    for (int i = -2; i <= 2; ++i) {
        Ring ring = lot_of_row(i, 0);
        if (i == 0) {
            parcels.push_back(
                target(1042, "Plot 1042", ring, {"PB 1041", "PB 1042", "PB 1043", "PB 1044"}));
        } else {
            parcels.push_back(parcel(1040 + i, ring));
        }
    }
    parcels.push_back(parcel(1061, lot_of_row(0, 1)));
    parcels.push_back(parcel(1062, lot_of_row(1, 1)));
    Json roads =
        Json::array({Json{{"geometry", line({offset(origin, -80, -17), offset(origin, 90, 7)})}}});
    return request(parcels, 1042, roads);
}

// A 14-corner farm plot with several short legs that go to the schedule at its scale.
Json large_irregular() {
    En o = offset(origin, 400, 300);
    Ring ring = {offset(o, 0, 0),     offset(o, -6, 48),   offset(o, 4, 96),    offset(o, 9, 101),
                 offset(o, 62, 133),  offset(o, 118, 140), offset(o, 125, 134), offset(o, 171, 112),
                 offset(o, 184, 61),  offset(o, 178, 55),  offset(o, 160, 4),   offset(o, 108, -21),
                 offset(o, 101, -17), offset(o, 49, -12)};
    std::vector<std::string> names = {
        "SC/AB 101", "SC/AB 102", "SC/AB 103", "SC/AB 104", "SC/AB 105", "SC/AB 106", "SC/AB 107",
        "SC/AB 108", "SC/AB 109", "SC/AB 110", "SC/AB 111", "SC/AB 112", "SC/AB 113", "SC/AB 114"};
    Json parcels = Json::array({target(77, "Farm Plot 77 Gwagwa", ring, names)});
    parcels.push_back(
        parcel(78, {offset(o, -6, 48), offset(o, -90, 40), offset(o, -85, 110), offset(o, 4, 96)}));
    parcels.push_back(parcel(
        79, {offset(o, 184, 61), offset(o, 260, 70), offset(o, 250, -10), offset(o, 178, 55)}));
    Json roads = Json::array({Json{
        {"geometry", line({offset(o, -120, -45), offset(o, 49, -34), offset(o, 300, -45)})}}});
    return request(parcels, 77, roads);
}

// A 40 x 60 m plot crossed by a public footpath, beside a road reserve with a roundabout island.
Json crossed_by_road() {
    En o = offset(origin, -500, 200);
    auto lot_of_row = [&](double across) { return lot(o, 40, 60, -2.41, across, 0); };
    Json parcels = Json::array({target(2310, "Plot 2310", lot_of_row(0), numbered("PB ", 2310, 4)),
                                parcel(2311, lot_of_row(1)), parcel(2309, lot_of_row(-1))});
    Ring reserve = rectangle(turned(o, -2.41, -60, -25), 160, 20, -2.41);
    Ring island = rectangle(turned(o, -2.41, 30, -20), 10, 10, -2.41);
    Json roads = Json::array({
        Json{{"geometry", line({offset(o, -30, 75), offset(o, 20, 30), offset(o, 70, -10)})}},
        Json{{"geometry", polygon({reserve, island})}},
        Json{{"geometry",
              Json{{"type", "GeometryCollection"},
                   {"geometries",
                    Json::array({line({offset(o, 100, -5), offset(o, 100, 90)}),
                                 Json{{"type", "Point"},
                                      {"coordinates", web_point(offset(o, 100, 95))}}})}}}},
    });
    return request(parcels, 2310, roads);
}

// A plot in the middle of a block, with neighbours on all eight sides and parcels of the same
// layout far outside the window, one of them in two parts.
Json neighbours_all_sides() {
    En o = offset(origin, 300, -600);
    Json parcels = Json::array();
    int number = 500;
    for (int row = -1; row <= 1; ++row) {
        for (int col = -1; col <= 1; ++col, ++number) {
            Ring ring = lot(o, 25.3, 34.8, 3.18, col, row);
            if (row == 0 && col == 0) {
                parcels.push_back(target(number, "Plot 504 Utako", ring, numbered("PB 50", 41, 4)));
            } else {
                parcels.push_back(parcel(number, ring));
            }
        }
    }
    parcels.push_back(parcel(600, rectangle(offset(o, 900, 0), 25, 35)));
    Json far_apart =
        Json{{"type", "MultiPolygon"},
             {"coordinates",
              Json::array({polygon({rectangle(offset(o, -900, 0), 25, 35)})["coordinates"],
                           polygon({rectangle(offset(o, -850, 0), 25, 35)})["coordinates"]})}};
    parcels.push_back(Json{{"parcel_number", 601}, {"geometry", far_apart}});
    return request(parcels, 504, nullptr);
}

void write(const std::string& dir, const std::string& name, const Json& content) {
    std::ofstream out(dir + "/" + name);
    out << content.dump(1) << '\n';
    if (!out)
        throw std::runtime_error("cannot write " + name);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make-plan-inputs OUTPUT_DIR\n";
        return 2;
    }
    write(argv[1], "small_residential.json", small_residential());
    write(argv[1], "large_irregular.json", large_irregular());
    write(argv[1], "crossed_by_road.json", crossed_by_road());
    write(argv[1], "neighbours_all_sides.json", neighbours_all_sides());
}
