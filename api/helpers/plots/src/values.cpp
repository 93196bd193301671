#include "plots/values.hpp"

#include "plots/errors.hpp"

#include <fmt/format.h>

namespace plots {

bool identifiers_equal(const Json& a, const Json& b) {
    // The library's equality already compares integers and reals by value and never equates a
    // string with a number.
    return a == b;
}

std::string default_text(const Json& value) {
    if (value.is_string())
        return value.get<std::string>();
    return value.dump();
}

std::string two_decimals(const Json& number, std::string_view what) {
    if (!number.is_number()) {
        throw InputError(fmt::format("{} must be a number, not {}", what, number.dump()));
    }
    return fmt::format("{:.2f}", number.get<double>());
}

const Json& required_field(const Json& record, std::string_view key, std::string_view record_name) {
    if (!record.is_object()) {
        throw InputError(
            fmt::format("{} must be an object, not {}", record_name, record.type_name()));
    }
    auto found = record.find(key);
    if (found == record.end()) {
        throw InputError(fmt::format("{} has no \"{}\"", record_name, key));
    }
    return *found;
}

const Json* optional_field(const Json& record, std::string_view key) {
    if (!record.is_object())
        return nullptr;
    auto found = record.find(key);
    return found == record.end() ? nullptr : &*found;
}

}  // namespace plots
