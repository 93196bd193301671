#pragma once

namespace tileway {

// The area of a rectangle in square degrees, whatever the order of its corners.
double calculate_bbox_area_degrees(double minx, double miny, double maxx, double maxy);

}  // namespace tileway
