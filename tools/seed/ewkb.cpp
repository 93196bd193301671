#include "ewkb.hpp"

#include <bit>

namespace seed::ewkb {
namespace {

constexpr std::uint32_t point_type = 1;
constexpr std::uint32_t line_string_type = 2;
constexpr std::uint32_t polygon_type = 3;
constexpr std::uint32_t multi_polygon_type = 6;
constexpr std::uint32_t srid_flag = 0x20000000;
constexpr char little_endian = 1;

void hex_bytes(std::string& out, std::uint64_t value, int bytes) {
    constexpr char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < bytes; ++i) {
        const auto byte = static_cast<unsigned>(value & 0xFF);
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
        value >>= 8;
    }
}

void word(std::string& out, std::uint32_t value) {
    hex_bytes(out, value, 4);
}

void real(std::string& out, double value) {
    hex_bytes(out, std::bit_cast<std::uint64_t>(value), 8);
}

void header(std::string& out, std::uint32_t type, std::uint32_t srid) {
    hex_bytes(out, little_endian, 1);
    if (srid != 0) {
        word(out, type | srid_flag);
        word(out, srid);
    } else {
        word(out, type);
    }
}

void coordinates(std::string& out, Point p) {
    real(out, p.x);
    real(out, p.y);
}

void closed_ring(std::string& out, std::span<const Point> ring) {
    word(out, static_cast<std::uint32_t>(ring.size() + 1));
    for (const Point& p : ring)
        coordinates(out, p);
    coordinates(out, ring.front());
}

}  // namespace

void point(std::string& out, Point p, std::uint32_t srid) {
    header(out, point_type, srid);
    coordinates(out, p);
}

void line_string(std::string& out, std::span<const Point> points, std::uint32_t srid) {
    header(out, line_string_type, srid);
    word(out, static_cast<std::uint32_t>(points.size()));
    for (const Point& p : points)
        coordinates(out, p);
}

void polygon(std::string& out, std::span<const Point> ring, std::uint32_t srid) {
    header(out, polygon_type, srid);
    word(out, 1);
    closed_ring(out, ring);
}

void multi_polygon(std::string& out, std::span<const Point> ring, std::uint32_t srid) {
    header(out, multi_polygon_type, srid);
    word(out, 1);
    polygon(out, ring, 0);
}

}  // namespace seed::ewkb
