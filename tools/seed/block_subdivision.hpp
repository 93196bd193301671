#pragma once

#include "cadastre.hpp"
#include "geometry.hpp"
#include "random.hpp"

#include <array>
#include <cstdint>
#include <vector>

namespace seed {

enum class BlockLayout : std::uint8_t {
    TwoRows,  // back to back, each row fronting one long side, split along a spine
    OneRow,   // plots run through from one long side to the other
    Whole     // the block is one plot
};

struct BlockPlan {
    BlockLayout layout;
    double min_frontage;  // metres along the street
    double max_frontage;
    double splay;  // metres cut off each block corner at the junctions
};

// A block's plots before they join the cadastre. Corner indexes are local to the block; each ring
// is counter-clockwise. Neighbouring plots refer to the same corner, so shared edges are exact.
struct BlockDraft {
    std::vector<Corner> corners;
    std::vector<std::vector<std::uint32_t>> plots;
};

// Splits a convex block (counter-clockwise corners) into plots.
BlockDraft subdivide_block(const std::array<Point, 4>& block, const BlockPlan& plan, Random& rng);

}  // namespace seed
