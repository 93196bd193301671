#include "mvt_reader.hpp"

#include <protozero/exception.hpp>
#include <protozero/pbf_reader.hpp>

#include <fmt/format.h>

namespace kavara::test::mvt {
namespace {

using protozero::pbf_reader;
using protozero::pbf_wire_type;

// Field numbers of the vector tile message definitions.
namespace tile_field {
constexpr protozero::pbf_tag_type layers = 3;
}
namespace layer_field {
constexpr protozero::pbf_tag_type name = 1, features = 2, keys = 3, values = 4, extent = 5,
                                  version = 15;
}
namespace feature_field {
constexpr protozero::pbf_tag_type id = 1, tags = 2, type = 3, geometry = 4;
}
namespace value_field {
constexpr protozero::pbf_tag_type string_value = 1, float_value = 2, double_value = 3,
                                  int_value = 4, uint_value = 5, sint_value = 6, bool_value = 7;
}

enum class Command : std::uint32_t { move_to = 1, line_to = 2, close_path = 7 };

// protozero asserts on a wire type that does not match the getter; bad input must throw instead.
void expect_wire_type(const pbf_reader& message, pbf_wire_type expected, const char* what) {
    if (message.wire_type() != expected)
        throw DecodeError(fmt::format("{}: unexpected wire type {}", what,
                                      static_cast<int>(message.wire_type())));
}

Value decode_value(pbf_reader message) {
    std::optional<Value> value;
    while (message.next()) {
        switch (message.tag()) {
            case value_field::string_value:
                expect_wire_type(message, pbf_wire_type::length_delimited, "string value");
                value = std::string(message.get_view());
                break;
            case value_field::float_value:
                expect_wire_type(message, pbf_wire_type::fixed32, "float value");
                value = static_cast<double>(message.get_float());
                break;
            case value_field::double_value:
                expect_wire_type(message, pbf_wire_type::fixed64, "double value");
                value = message.get_double();
                break;
            case value_field::int_value:
                expect_wire_type(message, pbf_wire_type::varint, "int value");
                value = message.get_int64();
                break;
            case value_field::uint_value:
                expect_wire_type(message, pbf_wire_type::varint, "uint value");
                value = message.get_uint64();
                break;
            case value_field::sint_value:
                expect_wire_type(message, pbf_wire_type::varint, "sint value");
                value = message.get_sint64();
                break;
            case value_field::bool_value:
                expect_wire_type(message, pbf_wire_type::varint, "bool value");
                value = message.get_bool();
                break;
            default:
                message.skip();
        }
    }
    if (!value)
        throw DecodeError("a value without any of the value fields");
    return *value;
}

std::int64_t zigzag(std::uint32_t encoded) {
    return static_cast<std::int64_t>(encoded >> 1) ^ -static_cast<std::int64_t>(encoded & 1);
}

// The command stream of a feature: MoveTo starts a part (all points of one MoveTo, as in a
// multi-point, stay in that part), LineTo extends it, ClosePath ends a ring. Coordinates are
// deltas from the previous point, across parts.
std::vector<std::vector<Point>> decode_geometry(const std::vector<std::uint32_t>& stream) {
    std::vector<std::vector<Point>> parts;
    Point cursor{0, 0};
    std::size_t i = 0;
    while (i < stream.size()) {
        const auto command = static_cast<Command>(stream[i] & 0x7);
        const std::uint32_t count = stream[i] >> 3;
        ++i;
        if (command == Command::close_path) {
            if (parts.empty())
                throw DecodeError("ClosePath before any MoveTo");
            continue;
        }
        if (command != Command::move_to && command != Command::line_to)
            throw DecodeError(fmt::format("unknown geometry command {}", stream[i - 1] & 0x7));
        if (command == Command::line_to && parts.empty())
            throw DecodeError("LineTo before any MoveTo");
        for (std::uint32_t n = 0; n < count; ++n) {
            if (i + 1 >= stream.size())
                throw DecodeError("geometry command runs past the end of the stream");
            cursor.x += zigzag(stream[i]);
            cursor.y += zigzag(stream[i + 1]);
            i += 2;
            if (command == Command::move_to && n == 0)
                parts.emplace_back();
            parts.back().push_back(cursor);
        }
    }
    return parts;
}

struct RawFeature {
    Feature feature;
    std::vector<std::uint32_t> tags;
};

RawFeature decode_feature(pbf_reader message) {
    RawFeature raw;
    while (message.next()) {
        switch (message.tag()) {
            case feature_field::id:
                expect_wire_type(message, pbf_wire_type::varint, "feature id");
                raw.feature.id = message.get_uint64();
                break;
            case feature_field::tags: {
                expect_wire_type(message, pbf_wire_type::length_delimited, "feature tags");
                for (auto tag : message.get_packed_uint32())
                    raw.tags.push_back(tag);
                break;
            }
            case feature_field::type:
                expect_wire_type(message, pbf_wire_type::varint, "feature type");
                raw.feature.type = static_cast<GeomType>(message.get_enum());
                break;
            case feature_field::geometry: {
                expect_wire_type(message, pbf_wire_type::length_delimited, "feature geometry");
                std::vector<std::uint32_t> stream;
                for (auto item : message.get_packed_uint32())
                    stream.push_back(item);
                raw.feature.parts = decode_geometry(stream);
                break;
            }
            default:
                message.skip();
        }
    }
    return raw;
}

// Tags index the layer's keys and values, which may come after the features in the message.
void resolve_tags(Layer& layer, RawFeature& raw) {
    if (raw.tags.size() % 2 != 0)
        throw DecodeError("a feature with an odd number of tags");
    for (std::size_t i = 0; i < raw.tags.size(); i += 2) {
        const auto key = raw.tags[i];
        const auto value = raw.tags[i + 1];
        if (key >= layer.keys.size() || value >= layer.values.size())
            throw DecodeError(fmt::format("tag {}={} outside the layer's {} keys and {} values",
                                          key, value, layer.keys.size(), layer.values.size()));
        raw.feature.properties[layer.keys[key]] = layer.values[value];
    }
    layer.features.push_back(std::move(raw.feature));
}

Layer decode_layer(pbf_reader message) {
    Layer layer;
    std::vector<RawFeature> features;
    while (message.next()) {
        switch (message.tag()) {
            case layer_field::name:
                expect_wire_type(message, pbf_wire_type::length_delimited, "layer name");
                layer.name = std::string(message.get_view());
                break;
            case layer_field::features:
                expect_wire_type(message, pbf_wire_type::length_delimited, "feature");
                features.push_back(decode_feature(message.get_message()));
                break;
            case layer_field::keys:
                expect_wire_type(message, pbf_wire_type::length_delimited, "key");
                layer.keys.emplace_back(message.get_view());
                break;
            case layer_field::values:
                expect_wire_type(message, pbf_wire_type::length_delimited, "value");
                layer.values.push_back(decode_value(message.get_message()));
                break;
            case layer_field::extent:
                expect_wire_type(message, pbf_wire_type::varint, "extent");
                layer.extent = message.get_uint32();
                break;
            case layer_field::version:
                expect_wire_type(message, pbf_wire_type::varint, "version");
                layer.version = message.get_uint32();
                break;
            default:
                message.skip();
        }
    }
    for (auto& raw : features)
        resolve_tags(layer, raw);
    return layer;
}

}  // namespace

std::string to_text(const Value& value) {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "true" : "false";
            } else {
                return fmt::format("{}", v);
            }
        },
        value);
}

std::vector<Layer> decode(std::string_view tile) {
    std::vector<Layer> layers;
    try {
        pbf_reader message(tile.data(), tile.size());
        while (message.next()) {
            if (message.tag() != tile_field::layers) {
                message.skip();
                continue;
            }
            expect_wire_type(message, pbf_wire_type::length_delimited, "layer");
            layers.push_back(decode_layer(message.get_message()));
        }
    } catch (const protozero::exception& e) {
        throw DecodeError(std::string("malformed tile: ") + e.what());
    }
    return layers;
}

}  // namespace kavara::test::mvt
