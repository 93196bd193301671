#pragma once

// A small reader of vector tiles, for checking what the tile endpoints return: layers with their
// name, extent, keys and values, and features with their tags resolved to properties and their
// geometry commands decoded to integer tile coordinates.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace kavara::test::mvt {

// The tile is not a well-formed vector tile (bad wire type, dangling tag index, truncated data).
class DecodeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A property value; float values are widened to double.
using Value = std::variant<std::string, double, std::int64_t, std::uint64_t, bool>;

// The value as a person reads it: text unchanged, numbers in decimal, true/false.
std::string to_text(const Value& value);

enum class GeomType { unknown = 0, point = 1, linestring = 2, polygon = 3 };

struct Point {
    std::int64_t x;
    std::int64_t y;
};

struct Feature {
    std::optional<std::uint64_t> id;
    GeomType type = GeomType::unknown;
    std::map<std::string, Value> properties;
    // One entry per MoveTo: the points of that part (a ring, a line or the points of a
    // multi-point), in tile coordinates.
    std::vector<std::vector<Point>> parts;
};

struct Layer {
    std::uint32_t version = 1;
    std::string name;
    std::uint32_t extent = 4096;
    std::vector<std::string> keys;
    std::vector<Value> values;
    std::vector<Feature> features;
};

// Decodes every layer of the tile, in tile order. Throws DecodeError on malformed input.
std::vector<Layer> decode(std::string_view tile);

}  // namespace kavara::test::mvt
