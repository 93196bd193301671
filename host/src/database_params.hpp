#pragma once

#include "host/database.hpp"

#include <optional>
#include <string>
#include <vector>

namespace host::database {

// Statement values in the text form PostgreSQL parses for any parameter type; an empty
// optional is SQL NULL.
using TextParams = std::vector<std::optional<std::string>>;

// Throws std::invalid_argument for text with a NUL byte, which a text parameter cannot carry.
TextParams to_text_params(const std::vector<const Value*>& values);

}  // namespace host::database
