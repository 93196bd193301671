#pragma once

#include "cadastre.hpp"
#include "geometry.hpp"
#include "random.hpp"

#include <array>
#include <vector>

namespace seed {

// A zone between four arterial roads: its lattice nodes counter-clockwise from the south-west,
// and the half widths of the arterials along its south, east, north and west sides.
struct ZoneFrame {
    std::array<Point, 4> corner;
    std::array<double, 4> half_width;
};

struct StreetBlock {
    std::array<Point, 4> corner;  // counter-clockwise, at the edges of the road corridors
    bool merged;                  // two street cells joined where a street stops short
};

struct ZoneStreets {
    std::vector<StreetBlock> blocks;
    std::vector<Road> roads;  // the local streets' corridors and centre lines
};

// Lays out the local streets of a zone: two families of slanted, unevenly spaced streets, one
// close-spaced (block depth) and one wide-spaced (block length); a few close-spaced streets stop
// at a junction so that two cells join into one large block.
ZoneStreets lay_out_streets(const ZoneFrame& frame, Random& rng);

// The quadrilateral enclosed by four lines, each crossing the next; counter-clockwise.
std::array<Point, 4> enclosed_quad(const std::array<Line, 4>& sides);

// A road corridor: the strip `half_width` either side of `centre` between two crossing lines.
std::array<Point, 4> corridor(const Line& centre, double half_width, const Line& start,
                              const Line& end);

}  // namespace seed
