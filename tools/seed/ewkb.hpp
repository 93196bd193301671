#pragma once

#include "geometry.hpp"

#include <cstdint>
#include <span>
#include <string>

// Geometries as hex EWKB (little-endian, with the SRID), the text form PostGIS reads fastest in
// COPY. Rings are given open and written closed.
namespace seed::ewkb {

void point(std::string& out, Point p, std::uint32_t srid);
void line_string(std::string& out, std::span<const Point> points, std::uint32_t srid);
void polygon(std::string& out, std::span<const Point> ring, std::uint32_t srid);
void multi_polygon(std::string& out, std::span<const Point> ring, std::uint32_t srid);

}  // namespace seed::ewkb
