#pragma once

#include <string>
#include <string_view>

namespace tileway {

// The centroid statement of a layer's table and geometry column: the centre and extent of the
// planner's estimated extent, no row when there is no estimate.
std::string centroid_sql(std::string_view table, std::string_view geom_column);

}  // namespace tileway
