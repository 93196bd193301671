#pragma once

#include <stdexcept>

namespace plots {

// The one error the renderer raises about a request that is well formed: the target parcel is
// not among the parcels given ("Parcel with {columnname}={selected_parcel_number} not found.").
class ValueError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// A record, a geometry or an argument that cannot be drawn: a missing key, a value of the wrong
// type, a geometry that does not parse or cannot be projected, a target that is not a polygon.
// The message names the record and what is wrong with it.
class InputError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace plots
