#include "plots/beacons.hpp"

#include "plots/errors.hpp"
#include "plots/setup.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numbers>

namespace plots {
namespace {

// Paper distances in mm; a length of k mm on paper is k * scale / 1000 m on the ground.
constexpr double base_offset = 9;
constexpr double extra_per_character = 1.5;
constexpr double offset_dist_mm = 2;
constexpr double min_len_for_label_mm = 15;
constexpr double labels_zorder = 7;

struct Vec {
    double x = 0;
    double y = 0;
    Vec operator+(Vec o) const { return {x + o.x, y + o.y}; }
    Vec operator-(Vec o) const { return {x - o.x, y - o.y}; }
    Vec operator*(double k) const { return {x * k, y * k}; }
    Vec operator/(double k) const { return {x / k, y / k}; }
    double dot(Vec o) const { return x * o.x + y * o.y; }
    double length() const { return std::hypot(x, y); }
    Point point() const { return {x, y}; }
};

Vec vec(Point p) {
    return {p.x, p.y};
}

double direction_deg(Vec v) {
    return std::atan2(v.y, v.x) * 180 / std::numbers::pi;
}

std::size_t utf8_length(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// The context shared by every beacon of one annotation pass.
struct Pass {
    Axes& ax;
    const Json& beacons;
    const Geometry& target_geom;
    Vec centroid;
    int scale;
    double ground_per_mm;
    double fontsize;
    std::vector<Json>& schedule;

    std::string record_name(std::size_t i) const { return fmt::format("beacon record {}", i); }

    Vec position(std::size_t i) const {
        const Json& geometry = required_field(beacons[i], "geometry", record_name(i));
        return vec(project_geometry(Geometry::from_geojson(geometry)).as_point());
    }

    std::string name(std::size_t i) const {
        const Json& value = required_field(beacons[i], "beacon_name", record_name(i));
        if (!value.is_string()) {
            throw InputError(fmt::format("{}: \"beacon_name\" must be text, not {}", record_name(i),
                                         value.dump()));
        }
        return value.get<std::string>();
    }

    Json name_or_unknown(std::size_t i) const {
        const Json* value = optional_field(beacons[i], "beacon_name");
        return value ? *value : Json("?");
    }

    std::string text_or_empty(std::size_t i, std::string_view key) const {
        const Json* value = optional_field(beacons[i], key);
        return value ? default_text(*value) : "";
    }

    std::string distance(std::size_t i) const {
        const Json* value = optional_field(beacons[i], "distance_to_next");
        return value ? two_decimals(*value, record_name(i) + ": \"distance_to_next\"") : "0.00";
    }

    void add_label(std::string text, Vec at, double size, double rotation, bool bold = false) {
        ax.add(Text{.text = std::move(text),
                    .at = at.point(),
                    .size_pt = size,
                    .bold = bold,
                    .rotation_deg = rotation},
               labels_zorder);
    }
};

// The beacon's name on the bisector of its corner, on the outer side, turned so that it never
// reads upside down.
void place_name(Pass& pass, std::size_t i, Vec b, Vec u_prev, Vec u_next) {
    Vec bisector = u_prev + u_next;
    if (bisector.length() == 0)
        bisector = {-u_next.y, u_next.x};
    bisector = bisector / bisector.length();

    std::string name = pass.name(i);
    double text_len = static_cast<double>(utf8_length(name));
    double extra_offset = std::max(0.0, (text_len - 4) * extra_per_character);
    double offset_m = pass.ground_per_mm * (base_offset + extra_offset);

    Vec label = b + bisector * offset_m;
    if (pass.target_geom.contains(label.point())) {
        bisector = bisector * -1;
        label = b + bisector * offset_m;
    }
    double angle = direction_deg(bisector);
    if ((90 < angle && angle < 270) || (-270 < angle && angle < -90))
        angle += 180;
    pass.add_label(std::move(name), label, pass.fontsize, angle);
}

// Bearing outside the leg (degrees first in reading direction), distance inside it, or an entry
// of the schedule when the leg is too short on paper to carry them.
void annotate_leg(Pass& pass, std::size_t i, std::size_t next, Vec b, Vec nb) {
    Vec mid = (b + nb) / 2;
    Vec line_vec = nb - b;
    double line_len = line_vec.length();
    if (line_len <= 0)
        return;
    Vec line_unit = line_vec / line_len;

    double line_angle = direction_deg(line_unit);
    bool is_reversed =
        (90 < line_angle && line_angle <= 270) || (-270 <= line_angle && line_angle < -90);
    if (is_reversed)
        line_angle += 180;

    Vec perp{-line_unit.y, line_unit.x};
    if (perp.dot(pass.centroid - mid) > 0)
        perp = perp * -1;

    double offset_dist = pass.ground_per_mm * offset_dist_mm;
    std::string deg = pass.text_or_empty(i, "bearing_deg_to_next");
    std::string min = pass.text_or_empty(i, "bearing_min_to_next");

    if (!leg_carries_labels(line_len, pass.scale)) {
        pass.schedule.push_back(Json{{"from", pass.name_or_unknown(i)},
                                     {"to", pass.name_or_unknown(next)},
                                     {"bearing", deg + " " + min},
                                     {"distance", pass.distance(i)}});
        return;
    }
    Vec quarter = b + line_unit * (line_len * 0.25) + perp * offset_dist;
    Vec three_quarters = b + line_unit * (line_len * 0.75) + perp * offset_dist;
    double size = pass.fontsize - 1;
    pass.add_label(std::move(deg), is_reversed ? three_quarters : quarter, size, line_angle);
    pass.add_label(std::move(min), is_reversed ? quarter : three_quarters, size, line_angle);
    pass.add_label(pass.distance(i) + "m", mid - perp * offset_dist, size, line_angle, true);
}

}  // namespace

bool leg_carries_labels(double line_len_m, int scale) {
    double min_len_for_label = scale / 1000.0 * min_len_for_label_mm;
    return line_len_m > min_len_for_label;
}

void annotate_beacons(Axes& ax, const Json& beacons, const Geometry& target_geom, Point centroid,
                      int scale, double fontsize, std::vector<Json>& schedule) {
    if (!beacons.is_array()) {
        throw InputError(fmt::format("\"boundary\" must be a list, not {}", beacons.type_name()));
    }
    Pass pass{ax, beacons, target_geom, vec(centroid), scale, scale / 1000.0, fontsize, schedule};
    std::size_t n = beacons.size();
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t next = (i + 1) % n;
        std::size_t prev = (i + n - 1) % n;
        Vec b = pass.position(i);
        Vec nb = pass.position(next);
        ax.add(Markers{.points = {b.point()}, .color = colors::black, .size_pt = 3}, 6);
        Vec pb = pass.position(prev);

        Vec vec_prev = pb - b;
        Vec vec_next = nb - b;
        double norm_prev = vec_prev.length();
        double norm_next = vec_next.length();
        if (norm_prev == 0 || norm_next == 0)
            continue;

        place_name(pass, i, b, vec_prev / norm_prev, vec_next / norm_next);
        annotate_leg(pass, i, next, b, nb);
    }
}

}  // namespace plots
