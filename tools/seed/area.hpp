#pragma once

#include "cadastre.hpp"
#include "geometry.hpp"

#include <cstdint>

namespace seed {

// Builds a cadastral area of exactly `plots` plots centred near `centre` (EPSG:26332): a lattice
// of cadastral zones between arterial roads, grouped into districts and those into local
// government areas; local streets, blocks and plots inside each zone, filled zone by zone until
// the count is reached (the zones after that stay undeveloped).
//
// Each plot's corners are listed clockwise (as seen on a map with grid north up) starting at its
// north-west-most corner: the one with the largest northing minus easting, ties going to the
// larger northing.
Cadastre generate_cadastre(std::uint32_t plots, std::uint64_t seed, Point centre);

}  // namespace seed
