#include "block_subdivision.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace seed {
namespace {

// Cut ends closer than this share one corner, as a surveyor would not place two beacons there.
constexpr double snap_distance = 1.5;
// How far a cut's back end strays from square, in metres, so that plots are not rectangles.
constexpr double cut_skew = 2.0;
// Frontages are at least this area divided by the row depth, which keeps every plot well above
// 300 m² after the corner splays and the skew of the cuts.
constexpr double frontage_area = 420;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Survey coordinates are kept to the millimetre.
Point to_millimetres(Point p) {
    return {std::round(p.x * 1000) / 1000, std::round(p.y * 1000) / 1000};
}

std::uint32_t add_corner(BlockDraft& draft, Point at, CornerKind kind) {
    draft.corners.push_back({to_millimetres(at), kind});
    return static_cast<std::uint32_t>(draft.corners.size() - 1);
}

struct ChainVertex {
    double param;
    Point at;
    std::uint32_t id;
};

// One long side of a row of plots, ordered from the block's left short side to its right one.
// A cut is placed by parameter; positions between two vertices are interpolated along the chain.
class Chain {
  public:
    void add(double param, std::uint32_t id, const BlockDraft& draft) {
        const auto at =
            std::upper_bound(vertices_.begin(), vertices_.end(), param,
                             [](double p, const ChainVertex& v) { return p < v.param; });
        vertices_.insert(at, {param, draft.corners[id].at, id});
    }

    // The corner at `param`, or the existing one when it is within snapping distance.
    const ChainVertex& cut(double param, BlockDraft& draft) {
        auto after = std::upper_bound(vertices_.begin(), vertices_.end(), param,
                                      [](double p, const ChainVertex& v) { return p < v.param; });
        const auto before = after - 1;
        const double t = (param - before->param) / (after->param - before->param);
        const Point at = lerp(before->at, after->at, t);
        if (distance(at, before->at) < snap_distance)
            return *before;
        if (distance(at, after->at) < snap_distance)
            return *after;
        const std::uint32_t id = add_corner(draft, at, CornerKind::Plot);
        return *vertices_.insert(after, {param, draft.corners[id].at, id});
    }

    void append(double from, double to, bool descending, std::vector<std::uint32_t>& ring) const {
        const auto inside = [&](const ChainVertex& v) { return v.param >= from && v.param <= to; };
        if (descending) {
            for (auto v = vertices_.rbegin(); v != vertices_.rend(); ++v)
                if (inside(*v))
                    ring.push_back(v->id);
        } else {
            for (const auto& v : vertices_)
                if (inside(v))
                    ring.push_back(v.id);
        }
    }

  private:
    std::vector<ChainVertex> vertices_;
};

// Both ends of a cut, as the parameters of the corners it joins.
struct Cut {
    double lower;
    double upper;
};

class Subdivider {
  public:
    Subdivider(const std::array<Point, 4>& block, const BlockPlan& plan, Random& rng)
        : rng_(rng), plan_(plan) {
        // Rotate so that q_[0]→q_[1] and q_[2]→q_[3] are the long sides, where plots front.
        const double first = distance(block[0], block[1]) + distance(block[2], block[3]);
        const double second = distance(block[1], block[2]) + distance(block[3], block[0]);
        for (std::size_t i = 0; i < 4; ++i)
            q_[i] = block[(i + (first >= second ? 0 : 1)) % 4];
        double shortest = infinity;
        for (std::size_t i = 0; i < 4; ++i)
            shortest = std::min(shortest, side(i));
        splay_ = std::min(plan.splay, shortest / 5);
        add_splays();
    }

    BlockDraft run() && {
        const Chain bottom = front_chain(0);
        const Chain top = front_chain(2);
        switch (plan_.layout) {
            case BlockLayout::Whole:
                build_row(bottom, top, {});
                break;
            case BlockLayout::OneRow:
                one_row(bottom, top);
                break;
            case BlockLayout::TwoRows:
                two_rows(bottom, top);
                break;
        }
        return std::move(draft_);
    }

  private:
    double side(std::size_t i) const { return distance(q_[i], q_[(i + 1) % 4]); }

    // Each corner is replaced by two street corners `splay_` metres along its two sides:
    // before_[i] on the side arriving at q_[i], after_[i] on the side leaving it.
    void add_splays() {
        for (std::size_t i = 0; i < 4; ++i) {
            const Point prev = q_[(i + 3) % 4];
            const Point next = q_[(i + 1) % 4];
            before_[i] = add_corner(draft_, lerp(q_[i], prev, splay_ / distance(q_[i], prev)),
                                    CornerKind::Street);
            after_[i] = add_corner(draft_, lerp(q_[i], next, splay_ / distance(q_[i], next)),
                                   CornerKind::Street);
        }
    }

    // The long side `which` (0: bottom, q0→q1; 2: top, q3→q2), parameter 0 at the left short
    // side and 1 at the right one; the street corners on the short sides sit at -1 and 2.
    Chain front_chain(std::size_t which) const {
        Chain chain;
        const double s = splay_ / side(which);
        if (which == 0) {
            chain.add(-1, before_[0], draft_);
            chain.add(s, after_[0], draft_);
            chain.add(1 - s, before_[1], draft_);
            chain.add(2, after_[1], draft_);
        } else {
            chain.add(-1, after_[3], draft_);
            chain.add(s, before_[3], draft_);
            chain.add(1 - s, after_[2], draft_);
            chain.add(2, before_[2], draft_);
        }
        return chain;
    }

    // Cut positions along a front of `length` metres, as parameters of that front.
    std::vector<double> frontage_cuts(double length, double depth) {
        const double min_width = std::max(plan_.min_frontage, frontage_area / depth);
        const double max_width = std::max(plan_.max_frontage, 1.3 * min_width);
        std::vector<double> cuts;
        double position = splay_;
        const double end = length - splay_;
        for (;;) {
            const double width = rng_.uniform(min_width, max_width);
            if (position + width > end - min_width)
                break;
            position += width;
            cuts.push_back(position / length);
        }
        return cuts;
    }

    double skew(double chain_length) { return rng_.uniform(-cut_skew, cut_skew) / chain_length; }

    void one_row(const Chain& bottom, const Chain& top) {
        Chain lower = bottom;
        Chain upper = top;
        const double depth = (side(1) + side(3)) / 2;
        std::vector<Cut> cuts;
        for (double t : frontage_cuts(side(0), depth)) {
            const double front = lower.cut(t, draft_).param;
            cuts.push_back({front, upper.cut(t + skew(side(2)), draft_).param});
        }
        build_row(lower, upper, cuts);
    }

    void two_rows(const Chain& bottom, const Chain& top) {
        // The spine runs from the left short side to the right one, about half way up.
        const double left_share = rng_.uniform(0.44, 0.56);
        const double right_share = rng_.uniform(0.44, 0.56);
        const std::uint32_t left =
            add_corner(draft_, lerp(q_[0], q_[3], left_share), CornerKind::Plot);
        const std::uint32_t right =
            add_corner(draft_, lerp(q_[1], q_[2], right_share), CornerKind::Plot);
        Chain spine;
        spine.add(0, left, draft_);
        spine.add(1, right, draft_);
        const Point from = draft_.corners[left].at;
        const Point to = draft_.corners[right].at;
        const double spine_length = distance(from, to);
        if (spine_length > 60 && rng_.chance(0.35)) {
            const Point bend = lerp(from, to, 0.5) + left_normal(to - from) * rng_.uniform(-4, 4);
            const std::uint32_t kink = add_corner(draft_, bend, CornerKind::Plot);
            spine.add(distance(from, bend) / (distance(from, bend) + distance(bend, to)), kink,
                      draft_);
        }

        Chain lower_front = bottom;
        std::vector<Cut> bottom_cuts;
        const double bottom_depth = (left_share * side(3) + right_share * side(1)) / 2;
        for (double t : frontage_cuts(side(0), bottom_depth)) {
            const double front = lower_front.cut(t, draft_).param;
            bottom_cuts.push_back({front, spine.cut(t + skew(spine_length), draft_).param});
        }
        Chain upper_front = top;
        std::vector<Cut> top_cuts;
        const double top_depth = ((1 - left_share) * side(3) + (1 - right_share) * side(1)) / 2;
        for (double t : frontage_cuts(side(2), top_depth)) {
            const double front = upper_front.cut(t, draft_).param;
            top_cuts.push_back({spine.cut(t + skew(spine_length), draft_).param, front});
        }
        // Both rows are built after all cuts are on the spine, so that each plot's back edge
        // carries the corners of the plots behind it.
        build_row(lower_front, spine, bottom_cuts);
        build_row(spine, upper_front, top_cuts);
    }

    // Plot i lies between cut i-1 and cut i: along the lower chain left to right, then back
    // along the upper chain right to left, which is counter-clockwise.
    void build_row(const Chain& lower, const Chain& upper, const std::vector<Cut>& cuts) {
        for (std::size_t i = 0; i <= cuts.size(); ++i) {
            const Cut from = i == 0 ? Cut{-infinity, -infinity} : cuts[i - 1];
            const Cut to = i == cuts.size() ? Cut{infinity, infinity} : cuts[i];
            std::vector<std::uint32_t> ring;
            lower.append(from.lower, to.lower, false, ring);
            upper.append(from.upper, to.upper, true, ring);
            draft_.plots.push_back(std::move(ring));
        }
    }

    Random& rng_;
    const BlockPlan& plan_;
    std::array<Point, 4> q_;
    double splay_ = 0;
    std::array<std::uint32_t, 4> before_{};
    std::array<std::uint32_t, 4> after_{};
    BlockDraft draft_;
};

}  // namespace

BlockDraft subdivide_block(const std::array<Point, 4>& block, const BlockPlan& plan, Random& rng) {
    return Subdivider(block, plan, rng).run();
}

}  // namespace seed
