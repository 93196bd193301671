#pragma once

#include "plots/geometry.hpp"

#include <host/logging.hpp>

#include <string>
#include <string_view>

namespace plots {

inline constexpr std::string_view SRC_CRS = "EPSG:3857";
inline constexpr std::string_view DST_CRS = "EPSG:26332";

// SRC_CRS maps the world onto a square of this half-width in metres (pi times the sphere's
// radius) on both axes; a position outside it is no place on Earth, and PROJ would wrap it round
// to some place rather than refuse it.
inline constexpr double SRC_CRS_HALF_WIDTH_M = 20037508.342789244;

// The font faces tried for every text, in order of preference.
inline constexpr std::string_view SERIF_PREFERENCE[] = {"DejaVu Serif", "Liberation Serif",
                                                        "Times New Roman"};

// What the module sets up once per process and only reads afterwards.
struct Setup {
    std::string serif_family;  // the first installed face of SERIF_PREFERENCE, else "serif"
    host::Logger logger;
};

// Sets the module up on first call (fonts, logger, "Loaded plots module", and a check that the
// SRC_CRS -> DST_CRS transformation can be built) and returns the same setup on every later
// call, from any thread. The host may call it when it loads the module; every entry point
// calls it too.
const Setup& load();

// A new geometry of the same kind and structure whose every vertex is passed from SRC_CRS to
// DST_CRS, easting first; InputError naming the first vertex outside SRC_CRS's square or that
// PROJ cannot transform. Each thread uses its own PROJ context and transformation.
Geometry project_geometry(const Geometry& geometry);

}  // namespace plots
