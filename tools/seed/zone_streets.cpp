#include "zone_streets.hpp"

#include "vocabulary.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <string>
#include <tuple>

namespace seed {
namespace {

constexpr double merge_chance = 0.07;

struct Street {
    Line centre;
    double half_width;
    std::string name;
};

// Streets of one family, in order across the zone; the first and last are zone sides.
using Family = std::vector<Street>;

enum class Axis { U, V };  // U streets run south to north, V streets west to east

// The zone as a bilinear patch: u runs along the south side, v along the west side.
Point patch(const ZoneFrame& frame, double u, double v) {
    const auto& c = frame.corner;
    return lerp(lerp(c[0], c[1], u), lerp(c[3], c[2], u), v);
}

// Fractions across the zone at which the streets of a family lie, with uneven gaps.
std::vector<double> street_fractions(std::size_t gaps, Random& rng) {
    std::vector<double> fractions{0};
    for (std::size_t i = 0; i < gaps; ++i)
        fractions.push_back(fractions.back() + rng.uniform(0.8, 1.2));
    for (double& f : fractions)
        f /= fractions.back();
    return fractions;
}

Family make_family(const ZoneFrame& frame, Axis axis, bool close_spaced, Random& rng) {
    const auto& c = frame.corner;
    const double extent = axis == Axis::U ? (distance(c[0], c[1]) + distance(c[3], c[2])) / 2
                                          : (distance(c[0], c[3]) + distance(c[1], c[2])) / 2;
    const double spacing = close_spaced ? rng.uniform(62, 90) : rng.uniform(150, 260);
    const auto gaps = static_cast<std::size_t>(std::max(1.0, std::round(extent / spacing)));
    const std::vector<double> fractions = street_fractions(gaps, rng);
    // Each street's two ends stray independently, so that streets are slanted and not parallel.
    const double slant = 0.1 / static_cast<double>(gaps);
    Family family;
    for (std::size_t k = 0; k <= gaps; ++k) {
        const bool side = k == 0 || k == gaps;
        const double start = side ? fractions[k] : fractions[k] + rng.uniform(-slant, slant);
        const double end = side ? fractions[k] : fractions[k] + rng.uniform(-slant, slant);
        const Point from = axis == Axis::U ? patch(frame, start, 0) : patch(frame, 0, start);
        const Point to = axis == Axis::U ? patch(frame, end, 1) : patch(frame, 1, end);
        double half_width;
        if (side) {
            half_width = axis == Axis::U ? frame.half_width[k == 0 ? 3 : 1]
                                         : frame.half_width[k == 0 ? 0 : 2];
        } else {
            half_width = close_spaced ? (rng.chance(0.6) ? 6.0 : 7.5)
                                      : (rng.chance(0.5) ? 7.5 : (rng.chance(0.5) ? 9.0 : 10.0));
        }
        const StreetAxis street_axis =
            axis == Axis::U ? StreetAxis::NorthSouth : StreetAxis::EastWest;
        family.push_back(
            {line_through(from, to), half_width,
             side ? std::string() : street_name(rng, StreetClass::Local, street_axis)});
    }
    return family;
}

std::array<Point, 4> counter_clockwise(std::array<Point, 4> quad) {
    if (signed_area(quad) < 0)
        std::reverse(quad.begin(), quad.end());
    return quad;
}

// A segment of street k of a family between crossing streets m and m+1 of the other family.
using Segment = std::tuple<int, std::size_t, std::size_t>;

class StreetPlanner {
  public:
    StreetPlanner(const ZoneFrame& frame, Random& rng) : rng_(rng) {
        // Close-spaced streets front the plots; which family that is varies from zone to zone.
        close_ = rng.chance(0.5) ? 0 : 1;
        family_[0] = make_family(frame, Axis::U, close_ == 0, rng);
        family_[1] = make_family(frame, Axis::V, close_ == 1, rng);
    }

    ZoneStreets run() && {
        ZoneStreets out;
        const int wide = 1 - close_;
        const std::size_t close_cells = family_[close_].size() - 1;
        for (std::size_t t = 0; t + 1 < family_[wide].size(); ++t) {
            for (std::size_t s = 0; s < close_cells; ++s) {
                const bool merged = s + 1 < close_cells && rng_.chance(merge_chance);
                const std::size_t s_end = merged ? s + 2 : s + 1;
                if (merged)
                    removed_.insert({close_, s + 1, t});
                out.blocks.push_back({block(s, s_end, t), merged});
                s = s_end - 1;
            }
        }
        for (int f = 0; f < 2; ++f)
            add_roads(f, out.roads);
        return out;
    }

  private:
    // The block between close-spaced streets s0 and s1 and wide-spaced streets t and t+1.
    std::array<Point, 4> block(std::size_t s0, std::size_t s1, std::size_t t) const {
        const Family& close = family_[close_];
        const Family& wide = family_[1 - close_];
        const std::array<const Street*, 4> sides{&close[s0], &wide[t], &close[s1], &wide[t + 1]};
        std::array<Line, 4> centres;
        for (std::size_t i = 0; i < 4; ++i)
            centres[i] = sides[i]->centre;
        const std::array<Point, 4> raw = enclosed_quad(centres);
        const Point middle = (raw[0] + raw[1] + raw[2] + raw[3]) * 0.25;
        std::array<Line, 4> edges;
        for (std::size_t i = 0; i < 4; ++i) {
            const Line& centre = sides[i]->centre;
            edges[i] = offset(centre, side_of(centre, middle) * sides[i]->half_width);
        }
        return enclosed_quad(edges);
    }

    void add_roads(int f, std::vector<Road>& roads) const {
        const Family& streets = family_[f];
        const Family& crossing = family_[1 - f];
        for (std::size_t k = 1; k + 1 < streets.size(); ++k) {
            const Street& street = streets[k];
            for (std::size_t m = 0; m + 1 < crossing.size(); ++m) {
                if (removed_.count({f, k, m}))
                    continue;
                const Line& start = crossing[m].centre;
                const Line& end = crossing[m + 1].centre;
                const auto strip = corridor(street.centre, street.half_width, start, end);
                roads.push_back({street.name, RoadKind::Corridor, {strip.begin(), strip.end()}});
                roads.push_back({street.name,
                                 RoadKind::Centreline,
                                 {intersect(street.centre, start), intersect(street.centre, end)}});
            }
        }
    }

    Random& rng_;
    int close_ = 0;
    std::array<Family, 2> family_;
    std::set<Segment> removed_;
};

}  // namespace

std::array<Point, 4> enclosed_quad(const std::array<Line, 4>& sides) {
    std::array<Point, 4> quad;
    for (std::size_t i = 0; i < 4; ++i)
        quad[i] = intersect(sides[(i + 3) % 4], sides[i]);
    return counter_clockwise(quad);
}

std::array<Point, 4> corridor(const Line& centre, double half_width, const Line& start,
                              const Line& end) {
    return enclosed_quad({start, offset(centre, half_width), end, offset(centre, -half_width)});
}

ZoneStreets lay_out_streets(const ZoneFrame& frame, Random& rng) {
    return StreetPlanner(frame, rng).run();
}

}  // namespace seed
