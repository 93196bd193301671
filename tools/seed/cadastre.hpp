#pragma once

#include "geometry.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace seed {

enum class LandUse : std::uint8_t {
    Residential,
    Commercial,
    Institutional,
    Industrial,
    Recreational,
    MixedUse
};

enum class PlotStatus : std::uint8_t { Allocated, Vacant, Developed, UnderDevelopment, Revoked };

// Street corners are the splayed corners of a block at a junction; the others lie between plots.
enum class CornerKind : std::uint8_t { Plot, Street };

enum class RoadKind : std::uint8_t { Corridor, Centreline };

struct Corner {
    Point at;
    CornerKind kind;
};

struct Plot {
    std::uint32_t first_corner;  // into Cadastre::plot_corners
    std::uint32_t corner_count;
    std::uint32_t zone;    // into Cadastre::zones
    std::uint32_t number;  // within its zone, from 1
    double area;           // square metres in EPSG:26332
    LandUse land_use;
    std::uint8_t detail;  // into the detailed uses of `land_use`
    PlotStatus status;
    std::uint16_t file_year;
    std::uint32_t file_serial;  // per land use and year, from 1; 0 when no file was opened
};

// A corridor is an open counter-clockwise ring; a centre line runs from junction to junction.
struct Road {
    std::string name;
    RoadKind kind;
    std::vector<Point> points;
};

// Administrative areas hold open counter-clockwise rings through every lattice node on their
// boundary, so that an inner area's edges are edges of the outer one too.
struct Zone {
    std::string name;
    std::uint32_t district;
    std::vector<Point> ring;
};

struct District {
    std::string name;
    std::string code;
    std::uint32_t lga;
    std::vector<Point> ring;
};

struct Lga {
    std::string name;
    std::vector<Point> ring;
};

// The whole synthetic area in EPSG:26332. Indexes are 0-based; database ids are index + 1.
struct Cadastre {
    std::vector<Corner> corners;  // each distinct plot corner once: one beacon each
    // Per plot, its corners clockwise from the north-west-most one (see generate_cadastre).
    std::vector<std::uint32_t> plot_corners;
    std::vector<Plot> plots;
    std::vector<Road> roads;
    std::vector<Zone> zones;
    std::vector<District> districts;
    std::vector<Lga> lgas;

    std::span<const std::uint32_t> corners_of(const Plot& plot) const noexcept {
        return {plot_corners.data() + plot.first_corner, plot.corner_count};
    }
};

}  // namespace seed
