#include "area.hpp"

#include "block_subdivision.hpp"
#include "random.hpp"
#include "vocabulary.hpp"
#include "zone_streets.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

namespace seed {
namespace {

// Plots per square metre of a developed zone. It only sizes the lattice; the exact count comes
// from filling zone by zone.
constexpr double plot_density = 6.0e-4;
constexpr double largest_zone_side = 1100;
constexpr double smallest_zone_side = 220;
// Even a small area gets a few zones per district and districts per local government area.
constexpr double least_zones = 16;
// Share of the zone side by which a lattice node strays from the regular grid.
constexpr double node_jitter = 0.08;
constexpr int first_file_year = 1986;
constexpr int last_file_year = 2024;
constexpr std::uint32_t no_corner = std::numeric_limits<std::uint32_t>::max();

// Purposes that keep the random streams apart.
enum Stream : std::uint64_t { node_stream = 1, zone_stream, road_stream, name_stream, lga_stream };

struct BlockUse {
    LandUse use;
    BlockPlan plan;
};

BlockUse plan_block(const StreetBlock& block, Random& rng) {
    const auto& c = block.corner;
    const double depth = std::min(distance(c[0], c[1]) + distance(c[2], c[3]),
                                  distance(c[1], c[2]) + distance(c[3], c[0])) /
                         2;
    const BlockLayout rows = depth >= 44 ? BlockLayout::TwoRows : BlockLayout::OneRow;
    const BlockLayout campus = rng.chance(0.5) ? BlockLayout::Whole : BlockLayout::OneRow;
    if (block.merged) {
        switch (rng.weighted({35, 25, 25, 15})) {
            case 0:
                return {LandUse::Institutional, {BlockLayout::Whole, 0, 0, 5}};
            case 1:
                return {LandUse::Recreational, {BlockLayout::Whole, 0, 0, 5}};
            case 2:
                return {LandUse::Industrial, {BlockLayout::OneRow, 60, 140, 6}};
            default:
                return {LandUse::Commercial, {campus, 60, 140, 5}};
        }
    }
    switch (rng.weighted({72, 10, 6, 4, 4, 4})) {
        case 0:
            return {LandUse::Residential, {rows, 14, 28, 4}};
        case 1:
            return {LandUse::Commercial,
                    {depth >= 70 ? BlockLayout::TwoRows : BlockLayout::OneRow, 25, 55, 5}};
        case 2:
            return {LandUse::MixedUse, {rows, 18, 35, 4}};
        case 3:
            return {LandUse::Industrial, {BlockLayout::OneRow, 45, 120, 6}};
        case 4:
            return {LandUse::Institutional, {campus, 60, 120, 5}};
        default:
            return {LandUse::Recreational, {BlockLayout::Whole, 0, 0, 5}};
    }
}

// The index of the north-west-most corner of a ring.
std::size_t north_west_most(const std::vector<Point>& ring) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < ring.size(); ++i) {
        const double lead = (ring[i].y - ring[i].x) - (ring[best].y - ring[best].x);
        if (lead > 0 || (lead == 0 && ring[i].y > ring[best].y))
            best = i;
    }
    return best;
}

// LGA k holds district columns [bounds[r][k], bounds[r][k+1]) of district row r. A boundary
// wanders by at most one column from its straight position, and each LGA's ranges in adjacent
// rows overlap, so that every LGA is one polygon without holes or pinched corners.
std::vector<std::vector<int>> lga_bounds(int columns, int rows, int lgas, Random& rng) {
    std::vector<int> straight(lgas + 1);
    for (int k = 0; k <= lgas; ++k)
        straight[k] = static_cast<int>(std::lround(1.0 * k * columns / lgas));
    std::vector<std::vector<int>> bounds{straight};
    for (int r = 1; r < rows; ++r) {
        const std::vector<int>& above = bounds.back();
        std::vector<int> row = straight;
        for (int k = 1; k < lgas; ++k) {
            const int step = rng.between(-1, 1);
            const int moved = above[k] + step;
            const bool fits = std::abs(moved - straight[k]) <= 1 && moved > row[k - 1] &&
                              moved > above[k - 1] && moved < above[k + 1];
            row[k] = fits ? moved : above[k];
        }
        bounds.push_back(std::move(row));
    }
    return bounds;
}

class AreaBuilder {
  public:
    AreaBuilder(std::uint32_t plots, std::uint64_t seed, Point centre)
        : target_(plots), seed_(seed) {
        const double n = plots;
        side_ = std::clamp(std::sqrt(n / (least_zones * plot_density)), smallest_zone_side,
                           largest_zone_side);
        columns_ =
            std::max(4, static_cast<int>(std::ceil(std::sqrt(n / (plot_density * side_ * side_)))));
        group_x_ = columns_ >= 16 ? 4 : columns_ >= 8 ? 3 : 2;
        // A narrow lattice groups zones in pairs side by side, so that there are still several
        // districts and LGAs.
        group_y_ = columns_ < 6 ? 1 : group_x_;
        const double half = columns_ * side_ / 2;
        origin_ = centre - Point{half, half};
    }

    Cadastre build() && {
        do {
            const std::size_t before = out_.plots.size();
            for (int col = 0; col < columns_; ++col)
                add_zone(col, rows_);
            ++rows_;
            if (out_.plots.size() == before)
                throw std::logic_error("a row of zones got no plots");
        } while (out_.plots.size() < target_);
        add_arterials();
        add_hierarchy();
        return std::move(out_);
    }

  private:
    Point node(int i, int j) const {
        Random rng(mix(seed_, node_stream, key(i, j)));
        const double dx = rng.uniform(-node_jitter, node_jitter) * side_;
        const double dy = rng.uniform(-node_jitter, node_jitter) * side_;
        return origin_ + Point{i * side_ + dx, j * side_ + dy};
    }

    static std::uint64_t key(int i, int j) {
        return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(j)) << 32) |
               static_cast<std::uint32_t>(i);
    }

    // Arterials on district boundaries are expressways.
    bool column_is_expressway(int i) const { return i % group_x_ == 0; }
    bool row_is_expressway(int j) const { return j % group_y_ == 0; }
    double column_half_width(int i) const { return column_is_expressway(i) ? 20 : 15; }
    double row_half_width(int j) const { return row_is_expressway(j) ? 20 : 15; }

    void add_zone(int col, int row) {
        const ZoneFrame frame{
            {node(col, row), node(col + 1, row), node(col + 1, row + 1), node(col, row + 1)},
            {row_half_width(row), column_half_width(col + 1), row_half_width(row + 1),
             column_half_width(col)}};
        const auto zone = static_cast<std::uint32_t>(out_.zones.size());
        out_.zones.push_back({{}, 0, {frame.corner.begin(), frame.corner.end()}});
        zone_plots_ = 0;
        if (out_.plots.size() == target_)
            return;  // undeveloped land
        Random rng(mix(seed_, zone_stream, key(col, row)));
        ZoneStreets streets = lay_out_streets(frame, rng);
        for (Road& road : streets.roads)
            out_.roads.push_back(std::move(road));
        for (const StreetBlock& block : streets.blocks) {
            if (out_.plots.size() == target_)
                break;
            add_block(block, zone, rng);
        }
    }

    void add_block(const StreetBlock& block, std::uint32_t zone, Random& rng) {
        const BlockUse use = plan_block(block, rng);
        const BlockDraft draft = subdivide_block(block.corner, use.plan, rng);
        std::vector<std::uint32_t> global(draft.corners.size(), no_corner);
        for (const auto& ring : draft.plots) {
            if (out_.plots.size() == target_)
                break;
            add_plot(draft, ring, global, zone, use.use, rng);
        }
    }

    void add_plot(const BlockDraft& draft, const std::vector<std::uint32_t>& ring,
                  std::vector<std::uint32_t>& global, std::uint32_t zone, LandUse use,
                  Random& rng) {
        std::vector<std::uint32_t> ids(ring.rbegin(), ring.rend());  // now clockwise
        std::vector<Point> points;
        for (std::uint32_t id : ids)
            points.push_back(draft.corners[id].at);
        const double area = -signed_area(points);
        const auto start = static_cast<std::ptrdiff_t>(north_west_most(points));
        std::rotate(ids.begin(), ids.begin() + start, ids.end());

        Plot plot{};
        plot.first_corner = static_cast<std::uint32_t>(out_.plot_corners.size());
        plot.corner_count = static_cast<std::uint32_t>(ids.size());
        for (std::uint32_t id : ids) {
            if (global[id] == no_corner) {
                global[id] = static_cast<std::uint32_t>(out_.corners.size());
                out_.corners.push_back(draft.corners[id]);
            }
            out_.plot_corners.push_back(global[id]);
        }
        plot.zone = zone;
        plot.number = ++zone_plots_;
        plot.area = area;
        plot.land_use = use;
        plot.detail = static_cast<std::uint8_t>(
            rng.below(static_cast<std::uint32_t>(detailed_uses(use).size())));
        plot.status = draw_status(rng);
        plot.file_year = static_cast<std::uint16_t>(rng.between(first_file_year, last_file_year));
        if (plot.status != PlotStatus::Vacant) {
            auto& serials = file_serials_[static_cast<std::size_t>(use)];
            plot.file_serial = ++serials[plot.file_year - first_file_year];
        }
        out_.plots.push_back(plot);
    }

    void add_arterials() {
        for (int i = 0; i <= columns_; ++i) {
            Random rng(mix(seed_, road_stream, key(i, -1)));
            const std::string name = street_name(
                rng, column_is_expressway(i) ? StreetClass::Expressway : StreetClass::Arterial,
                StreetAxis::NorthSouth);
            for (int j = 0; j < rows_; ++j)
                add_arterial(name, column_half_width(i), {i, j}, {i, j + 1}, {1, 0});
        }
        for (int j = 0; j <= rows_; ++j) {
            Random rng(mix(seed_, road_stream, key(-1, j)));
            const std::string name = street_name(
                rng, row_is_expressway(j) ? StreetClass::Expressway : StreetClass::Arterial,
                StreetAxis::EastWest);
            for (int i = 0; i < columns_; ++i)
                add_arterial(name, row_half_width(j), {i, j}, {i + 1, j}, {0, 1});
        }
    }

    struct NodeIndex {
        int i;
        int j;
    };

    // The arterial between two adjacent lattice nodes. Its corridor ends on lines through the
    // nodes along the crossing arterial, so that consecutive pieces meet without gaps.
    void add_arterial(const std::string& name, double half_width, NodeIndex from, NodeIndex to,
                      NodeIndex across) {
        const Point a = node(from.i, from.j);
        const Point b = node(to.i, to.j);
        const auto crossing = [&](NodeIndex at) {
            const NodeIndex lo{std::max(at.i - across.i, 0), std::max(at.j - across.j, 0)};
            const NodeIndex hi{std::min(at.i + across.i, columns_),
                               std::min(at.j + across.j, rows_)};
            return Line{node(at.i, at.j), node(hi.i, hi.j) - node(lo.i, lo.j)};
        };
        const auto strip = corridor(line_through(a, b), half_width, crossing(from), crossing(to));
        out_.roads.push_back({name, RoadKind::Corridor, {strip.begin(), strip.end()}});
        out_.roads.push_back({name, RoadKind::Centreline, {a, b}});
    }

    // The boundary of a set of zone cells, counter-clockwise through every lattice node on it.
    // The set must be one piece without holes or cells touching only at a corner.
    template <typename Inside>
    std::vector<Point> outline(Inside inside) const {
        std::map<std::pair<int, int>, std::pair<int, int>> next;
        const auto add = [&](int i0, int j0, int i1, int j1) { next[{i0, j0}] = {i1, j1}; };
        for (int row = 0; row < rows_; ++row) {
            for (int col = 0; col < columns_; ++col) {
                if (!inside(col, row))
                    continue;
                const auto outside = [&](int c, int r) {
                    return c < 0 || r < 0 || c >= columns_ || r >= rows_ || !inside(c, r);
                };
                if (outside(col, row - 1))
                    add(col, row, col + 1, row);
                if (outside(col + 1, row))
                    add(col + 1, row, col + 1, row + 1);
                if (outside(col, row + 1))
                    add(col + 1, row + 1, col, row + 1);
                if (outside(col - 1, row))
                    add(col, row + 1, col, row);
            }
        }
        std::vector<Point> ring;
        const auto first = next.begin()->first;
        auto at = first;
        do {
            ring.push_back(node(at.first, at.second));
            at = next.at(at);
        } while (at != first);
        if (ring.size() != next.size())
            throw std::logic_error("area is not one simple polygon");
        return ring;
    }

    void add_hierarchy() {
        const int district_columns = (columns_ + group_x_ - 1) / group_x_;
        const int district_rows = (rows_ + group_y_ - 1) / group_y_;
        const int lgas =
            std::min(district_columns,
                     std::clamp(static_cast<int>(std::lround(district_columns / 2.5)), 2, 6));
        Random lga_rng(mix(seed_, lga_stream, 0));
        const auto bounds = lga_bounds(district_columns, district_rows, lgas, lga_rng);
        const auto lga_of = [&](int dc, int dr) {
            const auto& row = bounds[dr];
            return static_cast<std::uint32_t>(std::upper_bound(row.begin(), row.end(), dc) -
                                              row.begin() - 1);
        };

        Random names(mix(seed_, name_stream, 0));
        std::set<std::string> used_names;
        const auto unique_name = [&] {
            for (;;) {
                std::string name = place_name(names);
                if (used_names.insert(name).second)
                    return name;
            }
        };
        for (int k = 0; k < lgas; ++k) {
            out_.lgas.push_back({unique_name(), outline([&](int col, int row) {
                                     return lga_of(col / group_x_, row / group_y_) ==
                                            static_cast<std::uint32_t>(k);
                                 })});
        }
        std::set<std::string> used_codes;
        for (int dr = 0; dr < district_rows; ++dr) {
            for (int dc = 0; dc < district_columns; ++dc) {
                std::string name = unique_name();
                std::string code = district_code(name, used_codes);
                out_.districts.push_back({std::move(name), std::move(code), lga_of(dc, dr),
                                          outline([&](int col, int row) {
                                              return col / group_x_ == dc && row / group_y_ == dr;
                                          })});
            }
        }
        name_zones(district_columns);
    }

    // Two letters from the district's name, the first one and a later one; if every such pair is
    // taken, the first free pair of the alphabet.
    static std::string district_code(const std::string& name, std::set<std::string>& used) {
        for (std::size_t k = 1; k < name.size(); ++k) {
            std::string code{name[0], static_cast<char>(name[k] - 'a' + 'A')};
            if (used.insert(code).second)
                return code;
        }
        for (char a = 'A'; a <= 'Z'; ++a) {
            for (char b = 'A'; b <= 'Z'; ++b) {
                std::string code{a, b};
                if (used.insert(code).second)
                    return code;
            }
        }
        throw std::runtime_error("more districts than two-letter codes");
    }

    // Zones are numbered within their district row by row: "KM-03".
    void name_zones(int district_columns) {
        std::vector<int> count(out_.districts.size(), 0);
        for (int row = 0; row < rows_; ++row) {
            for (int col = 0; col < columns_; ++col) {
                const auto district = static_cast<std::uint32_t>(
                    (row / group_y_) * district_columns + col / group_x_);
                Zone& zone = out_.zones[static_cast<std::size_t>(row * columns_ + col)];
                zone.district = district;
                const int number = ++count[district];
                zone.name = out_.districts[district].code + (number < 10 ? "-0" : "-") +
                            std::to_string(number);
            }
        }
    }

    std::uint32_t target_;
    std::uint64_t seed_;
    double side_ = 0;
    int columns_ = 0;
    int rows_ = 0;
    int group_x_ = 2;
    int group_y_ = 2;
    Point origin_;
    std::uint32_t zone_plots_ = 0;
    std::array<std::array<std::uint32_t, last_file_year - first_file_year + 1>, 6> file_serials_{};
    Cadastre out_;
};

}  // namespace

Cadastre generate_cadastre(std::uint32_t plots, std::uint64_t seed, Point centre) {
    return AreaBuilder(plots, seed, centre).build();
}

}  // namespace seed
