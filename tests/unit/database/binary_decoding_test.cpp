#include "host/database.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

namespace {

using host::Bytes;
using host::database::DatabaseError;
using host::database::Field;

// Type OIDs as the server sends them.
constexpr std::uint32_t bool_oid = 16, bytea_oid = 17, name_oid = 19, int8_oid = 20, int2_oid = 21,
                        int4_oid = 23, text_oid = 25, json_oid = 114, float4_oid = 700,
                        float8_oid = 701, unknown_oid = 705, bpchar_oid = 1042, varchar_oid = 1043,
                        numeric_oid = 1700, jsonb_oid = 3802;

// Appends `value` as `size` big-endian bytes, the order of the binary wire format.
void put(std::string& out, std::uint64_t value, int size) {
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) {
        out += static_cast<char>((value >> shift) & 0xff);
    }
}

std::string big_endian(std::uint64_t value, int size) {
    std::string out;
    put(out, value, size);
    return out;
}

Field field(std::uint32_t oid, std::string raw) {
    return Field(oid, Bytes(std::move(raw)));
}

constexpr std::uint16_t positive = 0x0000, negative = 0x4000, nan = 0xC000, plus_inf = 0xD000,
                        minus_inf = 0xF000;

// A numeric as the server sends it: base-10000 digits, the first worth 10000^weight.
Field numeric(std::initializer_list<std::uint16_t> digits, std::int16_t weight,
              std::uint16_t sign = positive, std::uint16_t dscale = 0) {
    std::string raw;
    put(raw, digits.size(), 2);
    put(raw, static_cast<std::uint16_t>(weight), 2);
    put(raw, sign, 2);
    put(raw, dscale, 2);
    for (auto digit : digits)
        put(raw, digit, 2);
    return field(numeric_oid, raw);
}

TEST(BinaryDecoding, Integers) {
    EXPECT_EQ(field(int2_oid, big_endian(0xfffe, 2)).as_int(), -2);
    EXPECT_EQ(field(int2_oid, big_endian(0x7fff, 2)).as_int(), 32767);
    EXPECT_EQ(field(int4_oid, big_endian(0x80000000u, 4)).as_int(), -2147483648LL);
    EXPECT_EQ(field(int4_oid, big_endian(0x01020304, 4)).as_int(), 0x01020304);
    EXPECT_EQ(field(int8_oid, big_endian(0x8000000000000000ull, 8)).as_int(),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(field(int8_oid, big_endian(1234567890123ull, 8)).as_int(), 1234567890123LL);
    EXPECT_EQ(field(int4_oid, big_endian(static_cast<std::uint32_t>(-7), 4)).as_double(), -7.0);
}

TEST(BinaryDecoding, Reals) {
    EXPECT_EQ(field(float4_oid, big_endian(0x3fc00000, 4)).as_double(), 1.5);  // 1.5f
    EXPECT_EQ(field(float4_oid, big_endian(0xc2f6e979, 4)).as_double(), -123.456f);
    EXPECT_EQ(field(float8_oid, big_endian(0x3fb999999999999aull, 8)).as_double(), 0.1);
    EXPECT_TRUE(std::isnan(field(float8_oid, big_endian(0x7ff8000000000000ull, 8)).as_double()));
    // Reals are not integers.
    EXPECT_THROW(field(float8_oid, big_endian(0, 8)).as_int(), DatabaseError);
}

TEST(BinaryDecoding, NumericValues) {
    EXPECT_EQ(numeric({}, 0).as_double(), 0.0);
    EXPECT_EQ(numeric({1}, 0).as_double(), 1.0);
    EXPECT_EQ(numeric({1, 2345, 6780}, 1, positive, 3).as_double(), 12345.678);
    EXPECT_EQ(numeric({1}, -1, negative, 4).as_double(), -0.0001);
    EXPECT_EQ(numeric({1000}, -1, positive, 1).as_double(), 0.1);  // correctly rounded
    EXPECT_EQ(numeric({1}, 5).as_double(), 1e20);
    EXPECT_EQ(numeric({9, 9999, 9999, 9999, 9999}, 4).as_double(), 99999999999999999.0);
    EXPECT_EQ(numeric({3, 1415, 9265, 3589, 7932, 3846}, 0, positive, 20).as_double(),
              3.14159265358979323846);
    EXPECT_EQ(numeric({5}, -3, positive, 12).as_double(), 5e-12);
}

TEST(BinaryDecoding, NumericSpecialValues) {
    EXPECT_TRUE(std::isnan(numeric({}, 0, nan).as_double()));
    EXPECT_EQ(numeric({}, 0, plus_inf).as_double(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(numeric({}, 0, minus_inf).as_double(), -std::numeric_limits<double>::infinity());
    // Beyond the range of a double: infinity above, zero below.
    EXPECT_EQ(numeric({1}, 100).as_double(), std::numeric_limits<double>::infinity());
    EXPECT_EQ(numeric({1}, 100, negative).as_double(), -std::numeric_limits<double>::infinity());
    EXPECT_EQ(numeric({1}, -100).as_double(), 0.0);
    // Numerics are reals, not integers.
    EXPECT_THROW(numeric({1}, 0).as_int(), DatabaseError);
}

TEST(BinaryDecoding, MalformedNumbersAreDatabaseErrors) {
    EXPECT_THROW(field(int4_oid, big_endian(1, 3)).as_int(), DatabaseError);
    EXPECT_THROW(field(int8_oid, big_endian(1, 4)).as_int(), DatabaseError);
    EXPECT_THROW(field(float8_oid, big_endian(1, 4)).as_double(), DatabaseError);
    EXPECT_THROW(field(numeric_oid, big_endian(0, 6)).as_double(), DatabaseError);  // short header
    std::string digits_missing = big_endian(2, 2) + big_endian(0, 6) + big_endian(1, 2);
    EXPECT_THROW(field(numeric_oid, digits_missing).as_double(), DatabaseError);
    EXPECT_THROW(numeric({10000}, 0).as_double(), DatabaseError);      // not a base-10000 digit
    EXPECT_THROW(numeric({1}, 0, 0x1234).as_double(), DatabaseError);  // unknown sign
}

TEST(BinaryDecoding, Booleans) {
    EXPECT_TRUE(field(bool_oid, std::string(1, '\1')).as_bool());
    EXPECT_FALSE(field(bool_oid, std::string(1, '\0')).as_bool());
    EXPECT_THROW(field(bool_oid, "").as_bool(), DatabaseError);
    EXPECT_THROW(field(int4_oid, big_endian(1, 4)).as_bool(), DatabaseError);
}

TEST(BinaryDecoding, TextTypesAreTheirBytes) {
    for (auto oid : {text_oid, varchar_oid, bpchar_oid, name_oid, json_oid, unknown_oid}) {
        EXPECT_EQ(field(oid, "caf\xc3\xa9 :x").text(), "caf\xc3\xa9 :x") << "oid " << oid;
    }
    // jsonb leads with a format version byte.
    EXPECT_EQ(field(jsonb_oid, "\1{\"a\": 1}").text(), "{\"a\": 1}");
    EXPECT_THROW(field(jsonb_oid, "\2{}").text(), DatabaseError);
    EXPECT_THROW(field(int4_oid, big_endian(1, 4)).text(), DatabaseError);
    EXPECT_THROW(field(text_oid, "12").as_double(), DatabaseError);
}

TEST(BinaryDecoding, ByteaIsRawAndSharesItsStorage) {
    std::string raw("\0\x01\xff\r\n\0", 6);
    auto owner = std::make_shared<const std::string>(raw);
    Field value(bytea_oid, Bytes(owner, *owner));
    EXPECT_EQ(value.bytes(), raw);
    EXPECT_EQ(value.bytes().data(), owner->data());
}

TEST(BinaryDecoding, NullsHaveNoValue) {
    Field null(int4_oid, std::nullopt);
    EXPECT_TRUE(null.is_null());
    EXPECT_TRUE(null.bytes().empty());
    EXPECT_THROW(null.as_int(), DatabaseError);
    EXPECT_THROW(null.as_double(), DatabaseError);
    EXPECT_THROW(null.as_bool(), DatabaseError);
    EXPECT_THROW(Field(text_oid, std::nullopt).text(), DatabaseError);
    // An empty value is not a null.
    EXPECT_FALSE(field(text_oid, "").is_null());
    EXPECT_EQ(field(text_oid, "").text(), "");
}

}  // namespace
