// The tests' tile reader on tiles written by hand, so that what it reports about served tiles
// can be trusted: every value type, tags resolved against keys that come after the features,
// geometry commands, and malformed input rejected.
#include "mvt_reader.hpp"

#include <gtest/gtest.h>
#include <protozero/pbf_writer.hpp>

#include <functional>

namespace kavara::test::mvt {
namespace {

std::uint32_t command(std::uint32_t id, std::uint32_t count) {
    return (count << 3) | id;
}
std::uint32_t zigzag(std::int32_t v) {
    return (static_cast<std::uint32_t>(v) << 1) ^ static_cast<std::uint32_t>(v >> 31);
}

std::string value_message(const std::function<void(protozero::pbf_writer&)>& fill) {
    std::string data;
    protozero::pbf_writer value(data);
    fill(value);
    return data;
}

// One layer "parcels", extent 512, with a square feature written before its keys and values.
std::string hand_written_tile(const std::vector<std::uint32_t>& tags) {
    std::string layer_data;
    {
        protozero::pbf_writer layer(layer_data);
        layer.add_uint32(15, 2);
        layer.add_string(1, "parcels");
        {
            protozero::pbf_writer feature(layer, 2);
            feature.add_uint64(1, 77);
            feature.add_packed_uint32(2, tags.begin(), tags.end());
            feature.add_enum(3, 3);
            const std::vector<std::uint32_t> square{
                command(1, 1), zigzag(10),  zigzag(20),   command(2, 3), zigzag(100),  zigzag(0),
                zigzag(0),     zigzag(100), zigzag(-100), zigzag(0),     command(7, 1)};
            feature.add_packed_uint32(4, square.begin(), square.end());
        }
        for (const char* key : {"name", "area", "count", "big", "offset", "ratio", "open"})
            layer.add_string(3, key);
        layer.add_message(4, value_message([](auto& v) { v.add_string(1, "Plot 7"); }));
        layer.add_message(4, value_message([](auto& v) { v.add_double(3, 412.5); }));
        layer.add_message(4, value_message([](auto& v) { v.add_int64(4, -3); }));
        layer.add_message(4, value_message([](auto& v) { v.add_uint64(5, 1ULL << 40); }));
        layer.add_message(4, value_message([](auto& v) { v.add_sint64(6, -9); }));
        layer.add_message(4, value_message([](auto& v) { v.add_float(2, 0.5f); }));
        layer.add_message(4, value_message([](auto& v) { v.add_bool(7, true); }));
        layer.add_uint32(5, 512);
    }
    std::string tile;
    protozero::pbf_writer writer(tile);
    writer.add_message(3, layer_data);
    return tile;
}

TEST(MvtReader, ReadsLayersFeaturesPropertiesAndGeometry) {
    const auto layers = decode(hand_written_tile({0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6}));
    ASSERT_EQ(layers.size(), 1u);
    const auto& layer = layers[0];
    EXPECT_EQ(layer.name, "parcels");
    EXPECT_EQ(layer.version, 2u);
    EXPECT_EQ(layer.extent, 512u);
    ASSERT_EQ(layer.features.size(), 1u);
    const auto& feature = layer.features[0];
    EXPECT_EQ(feature.id, 77u);
    EXPECT_EQ(feature.type, GeomType::polygon);
    EXPECT_EQ(to_text(feature.properties.at("name")), "Plot 7");
    EXPECT_EQ(to_text(feature.properties.at("area")), "412.5");
    EXPECT_EQ(to_text(feature.properties.at("count")), "-3");
    EXPECT_EQ(to_text(feature.properties.at("big")), "1099511627776");
    EXPECT_EQ(to_text(feature.properties.at("offset")), "-9");
    EXPECT_EQ(to_text(feature.properties.at("ratio")), "0.5");
    EXPECT_EQ(to_text(feature.properties.at("open")), "true");
    ASSERT_EQ(feature.parts.size(), 1u);
    const auto& ring = feature.parts[0];
    ASSERT_EQ(ring.size(), 4u);
    EXPECT_EQ(ring[0].x, 10);
    EXPECT_EQ(ring[0].y, 20);
    EXPECT_EQ(ring[1].x, 110);
    EXPECT_EQ(ring[2].y, 120);
    EXPECT_EQ(ring[3].x, 10);
    EXPECT_EQ(ring[3].y, 120);
}

TEST(MvtReader, RejectsMalformedTiles) {
    EXPECT_THROW(decode(hand_written_tile({0})), DecodeError);     // odd number of tags
    EXPECT_THROW(decode(hand_written_tile({0, 7})), DecodeError);  // no eighth value
    EXPECT_THROW(decode(hand_written_tile({9, 0})), DecodeError);  // no tenth key
    const auto tile = hand_written_tile({});
    EXPECT_THROW(decode(std::string_view(tile).substr(0, tile.size() - 3)), DecodeError);
    EXPECT_THROW(decode(std::string("\x1d\x00\x00\x00\x00", 5)), DecodeError);  // layer as fixed32
}

}  // namespace
}  // namespace kavara::test::mvt
