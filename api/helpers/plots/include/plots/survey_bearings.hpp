#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace plots {

// Easting and northing in metres of the plan's projected grid.
struct GridPoint {
    double easting = 0;
    double northing = 0;
    friend bool operator==(const GridPoint&, const GridPoint&) = default;
};

// A whole-circle bearing clockwise from grid north, to the nearest minute of arc: degrees
// 0 to 359, minutes 0 to 59.
struct Bearing {
    int degrees = 0;
    int minutes = 0;
    friend bool operator==(const Bearing&, const Bearing&) = default;
};

// One boundary leg as surveyors annotate it: bearing and length to the next beacon.
struct Leg {
    Bearing bearing;
    double distance_m = 0;  // to the centimetre
};

// The grid bearing from `from` to `to`. A leg of no length has bearing 0° 0'.
Bearing grid_bearing(GridPoint from, GridPoint to);

// The length of the leg to the centimetre, as printed on a plan.
double leg_distance(GridPoint from, GridPoint to);

// The legs of a closed boundary: leg i runs from beacon i to beacon i + 1, the last one back to
// the first. One beacon gives one leg of no length; none gives none.
std::vector<Leg> boundary_legs(std::span<const GridPoint> beacons);

// The positions in `ring` (closed or not) of its corners in the order a boundary is recorded:
// clockwise, starting at the north-west-most corner (largest northing minus easting, ties to the
// larger northing). The closing repetition of the first vertex is left out.
std::vector<std::size_t> clockwise_from_north_west(std::span<const GridPoint> ring);

}  // namespace plots
