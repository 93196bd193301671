#pragma once

#include <geos_c.h>

#include <string_view>

namespace plots::detail {

// The calling thread's GEOS context, created on first use and finished when the thread ends.
GEOSContextHandle_t geos_context();

// Throws InputError "{what}: {the last message GEOS reported on this thread}".
[[noreturn]] void throw_geos_error(std::string_view what);

}  // namespace plots::detail
