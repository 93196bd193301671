#include "database_result.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace host::database {
namespace {

// Type OIDs of the built-in types, fixed by PostgreSQL's catalogue.
namespace oid {
constexpr std::uint32_t boolean = 16;
constexpr std::uint32_t name = 19;
constexpr std::uint32_t int8 = 20;
constexpr std::uint32_t int2 = 21;
constexpr std::uint32_t int4 = 23;
constexpr std::uint32_t text = 25;
constexpr std::uint32_t json = 114;
constexpr std::uint32_t float4 = 700;
constexpr std::uint32_t float8 = 701;
constexpr std::uint32_t unknown = 705;
constexpr std::uint32_t bpchar = 1042;
constexpr std::uint32_t varchar = 1043;
constexpr std::uint32_t numeric = 1700;
constexpr std::uint32_t jsonb = 3802;
}  // namespace oid

[[noreturn]] void throw_type_mismatch(std::uint32_t type_oid, const char* wanted) {
    throw DatabaseError("a value of type oid " + std::to_string(type_oid) + " is not " + wanted);
}

[[noreturn]] void throw_malformed(const char* type) {
    throw DatabaseError(std::string("malformed binary ") + type + " value");
}

// Binary values are big-endian.
template <typename T>
T read_unsigned(std::string_view raw, std::size_t offset) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>((value << 8) | static_cast<unsigned char>(raw[offset + i]));
    }
    return value;
}

// A fixed-size binary value: its size is checked, then its bits reinterpreted as `T`.
template <typename T>
T read_fixed(std::string_view raw, const char* type) {
    if (raw.size() != sizeof(T))
        throw_malformed(type);
    using Bits =
        std::conditional_t<sizeof(T) == 2, std::uint16_t,
                           std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>;
    return std::bit_cast<T>(read_unsigned<Bits>(raw, 0));
}

// The wire form: int16 ndigits, int16 weight, uint16 sign, int16 dscale, then ndigits base-10000
// digits, the first one worth 10000^weight.
class BinaryNumeric {
  public:
    explicit BinaryNumeric(std::string_view raw) : raw_(raw) {
        if (raw.size() < header_size)
            throw_malformed("numeric");
        ndigits_ = read_unsigned<std::uint16_t>(raw, 0);
        weight_ = static_cast<std::int16_t>(read_unsigned<std::uint16_t>(raw, 2));
        sign_ = read_unsigned<std::uint16_t>(raw, 4);
        if (raw.size() != header_size + 2u * ndigits_)
            throw_malformed("numeric");
    }

    double to_double() const {
        switch (sign_) {
            case nan:
                return std::numeric_limits<double>::quiet_NaN();
            case positive_infinity:
                return std::numeric_limits<double>::infinity();
            case negative_infinity:
                return -std::numeric_limits<double>::infinity();
            case positive:
            case negative:
                return finite_value();
            default:
                throw_malformed("numeric");
        }
    }

  private:
    static constexpr std::size_t header_size = 8;
    static constexpr std::uint16_t positive = 0x0000;
    static constexpr std::uint16_t negative = 0x4000;
    static constexpr std::uint16_t nan = 0xC000;
    static constexpr std::uint16_t positive_infinity = 0xD000;
    static constexpr std::uint16_t negative_infinity = 0xF000;

    // Through decimal text, so the double is the correctly rounded one (summing powers of
    // 10000 in floating point is not).
    double finite_value() const {
        std::string text = sign_ == negative ? "-0" : "0";
        for (std::size_t i = 0; i < ndigits_; ++i) {
            unsigned digit = read_unsigned<std::uint16_t>(raw_, header_size + 2 * i);
            if (digit > 9999)
                throw_malformed("numeric");
            char group[5];
            std::snprintf(group, sizeof group, "%04u", digit);
            text += group;
        }
        long exponent = 4L * (static_cast<long>(weight_) - static_cast<long>(ndigits_) + 1);
        text += 'e';
        text += std::to_string(exponent);
        double value = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec == std::errc::result_out_of_range)
            return out_of_range_value();
        if (ec != std::errc() || end != text.data() + text.size())
            throw_malformed("numeric");
        return value;
    }

    double out_of_range_value() const {
        double magnitude = weight_ >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
        return sign_ == negative ? -magnitude : magnitude;
    }

    std::string_view raw_;
    std::uint16_t ndigits_ = 0;
    std::int16_t weight_ = 0;
    std::uint16_t sign_ = 0;
};

bool is_text_type(std::uint32_t type_oid) {
    switch (type_oid) {
        case oid::text:
        case oid::varchar:
        case oid::bpchar:
        case oid::name:
        case oid::json:
        case oid::unknown:
            return true;
        default:
            return false;
    }
}

std::optional<std::int64_t> integer_value(std::uint32_t type_oid, std::string_view raw) {
    switch (type_oid) {
        case oid::int2:
            return read_fixed<std::int16_t>(raw, "int2");
        case oid::int4:
            return read_fixed<std::int32_t>(raw, "int4");
        case oid::int8:
            return read_fixed<std::int64_t>(raw, "int8");
        default:
            return std::nullopt;
    }
}

}  // namespace

Bytes Field::bytes() const {
    return raw_ ? *raw_ : Bytes();
}

std::string Field::text() const {
    if (!raw_)
        throw DatabaseError("the value is null, not text");
    std::string_view raw = raw_->view();
    if (is_text_type(oid_))
        return std::string(raw);
    // jsonb's binary form is a version byte before the text.
    if (oid_ == oid::jsonb) {
        if (raw.empty() || raw[0] != 1)
            throw_malformed("jsonb");
        return std::string(raw.substr(1));
    }
    throw_type_mismatch(oid_, "text");
}

double Field::as_double() const {
    if (!raw_)
        throw DatabaseError("the value is null, not a number");
    std::string_view raw = raw_->view();
    if (auto integer = integer_value(oid_, raw))
        return static_cast<double>(*integer);
    switch (oid_) {
        case oid::float4:
            return read_fixed<float>(raw, "float4");
        case oid::float8:
            return read_fixed<double>(raw, "float8");
        case oid::numeric:
            return BinaryNumeric(raw).to_double();
        default:
            throw_type_mismatch(oid_, "a number");
    }
}

std::int64_t Field::as_int() const {
    if (!raw_)
        throw DatabaseError("the value is null, not an integer");
    if (auto integer = integer_value(oid_, raw_->view()))
        return *integer;
    throw_type_mismatch(oid_, "an integer");
}

bool Field::as_bool() const {
    if (!raw_)
        throw DatabaseError("the value is null, not a boolean");
    if (oid_ != oid::boolean)
        throw_type_mismatch(oid_, "a boolean");
    if (raw_->size() != 1)
        throw_malformed("bool");
    return raw_->data()[0] != 0;
}

Field Row::at(int column) const {
    if (column < 0 || column >= size()) {
        throw std::out_of_range("no column " + std::to_string(column) + " in the row");
    }
    PGresult* result = data_->result.get();
    auto type_oid = static_cast<std::uint32_t>(PQftype(result, column));
    if (PQgetisnull(result, row_, column))
        return Field(type_oid, std::nullopt);
    std::string_view raw(PQgetvalue(result, row_, column),
                         static_cast<std::size_t>(PQgetlength(result, row_, column)));
    return Field(type_oid, Bytes(data_->result, raw));
}

// Exact names: PQfnumber would fold unquoted names to lower case and parse double quotes.
Field Row::operator[](std::string_view column) const {
    PGresult* result = data_->result.get();
    for (int i = 0; i < size(); ++i) {
        if (column == PQfname(result, i))
            return at(i);
    }
    throw std::out_of_range("no column named \"" + std::string(column) + "\" in the row");
}

int Row::size() const {
    return PQnfields(data_->result.get());
}

int Result::rows() const {
    return data_ ? PQntuples(data_->result.get()) : 0;
}

int Result::columns() const {
    return data_ ? PQnfields(data_->result.get()) : 0;
}

Row Result::row(int index) const {
    if (index < 0 || index >= rows()) {
        throw std::out_of_range("no row " + std::to_string(index) + " in the result");
    }
    return Row(data_, index);
}

std::optional<Row> Result::first() const {
    if (rows() == 0)
        return std::nullopt;
    return row(0);
}

std::optional<Field> Result::scalar_one_or_none() const {
    if (rows() > 1) {
        throw DatabaseError("expected at most one row, the statement returned " +
                            std::to_string(rows()));
    }
    if (rows() == 0 || columns() == 0)
        return std::nullopt;
    Field field = row(0).at(0);
    if (field.is_null())
        return std::nullopt;
    return field;
}

Result make_result(PGresult* result) {
    auto data = std::make_shared<ResultData>();
    data->result = std::shared_ptr<PGresult>(result, PQclear);
    return Result(std::move(data));
}

}  // namespace host::database
