#pragma once

#include "plots/values.hpp"

#include <memory>
#include <string>
#include <vector>

struct GEOSGeom_t;

namespace plots {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Bounds {
    double minx = 0;
    double miny = 0;
    double maxx = 0;
    double maxy = 0;
};

// An owned GEOS geometry. Every operation uses the calling thread's GEOS context, so plans on
// different threads never share one; a geometry itself must not be used by two threads at once.
// Failures of GEOS throw InputError with GEOS's own message, since they come from the records.
class Geometry {
  public:
    // Takes ownership; a null pointer throws with the message GEOS left for this thread.
    explicit Geometry(GEOSGeom_t* owned);

    // A GeoJSON geometry object ("type" and "coordinates"), coordinates taken as they are.
    static Geometry from_geojson(const Json& geometry);
    static Geometry rectangle(const Bounds& bounds);

    const GEOSGeom_t* get() const noexcept { return geometry_.get(); }

    std::string type_name() const;
    bool is_empty() const;
    Bounds bounds() const;
    Point centroid() const;
    // Strictly inside: a point on the boundary is not contained.
    bool contains(Point point) const;
    bool intersects(const Geometry& other) const;
    Geometry intersection(const Geometry& other) const;

    // The members of a multi-geometry or collection, in order (copies).
    std::vector<Geometry> parts() const;
    // The vertices of a polygon's exterior ring; holes are not part of it.
    std::vector<Point> exterior_ring() const;
    std::size_t interior_ring_count() const;
    // The vertices of a point or a line string.
    std::vector<Point> vertices() const;
    // The one position of a non-empty point.
    Point as_point() const;

  private:
    struct Deleter {
        void operator()(GEOSGeom_t* geometry) const noexcept;
    };
    std::unique_ptr<GEOSGeom_t, Deleter> geometry_;
};

}  // namespace plots
