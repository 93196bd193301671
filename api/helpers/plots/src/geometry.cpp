#include "plots/geometry.hpp"

#include "geos_context.hpp"
#include "plots/errors.hpp"

#include <fmt/format.h>

#include <string>

namespace plots {
namespace detail {
namespace {

// GEOS reports errors through a handler; the message is kept until the failing call returns so
// that it can go into the exception.
class GeosThread {
  public:
    GeosThread() : context_(GEOS_init_r()) {
        GEOSContext_setErrorMessageHandler_r(context_, &GeosThread::on_error, this);
        reader_ = GEOSGeoJSONReader_create_r(context_);
    }
    ~GeosThread() {
        GEOSGeoJSONReader_destroy_r(context_, reader_);
        GEOS_finish_r(context_);
    }
    GeosThread(const GeosThread&) = delete;
    GeosThread& operator=(const GeosThread&) = delete;

    GEOSContextHandle_t context() const noexcept { return context_; }
    GEOSGeoJSONReader* reader() const noexcept { return reader_; }
    const std::string& last_error() const noexcept { return last_error_; }

  private:
    static void on_error(const char* message, void* self) {
        static_cast<GeosThread*>(self)->last_error_ = message;
    }

    GEOSContextHandle_t context_;
    GEOSGeoJSONReader* reader_ = nullptr;
    std::string last_error_;
};

GeosThread& geos_thread() {
    thread_local GeosThread thread;
    return thread;
}

}  // namespace

GEOSContextHandle_t geos_context() {
    return geos_thread().context();
}

void throw_geos_error(std::string_view what) {
    const auto& message = geos_thread().last_error();
    throw InputError(fmt::format("{}: {}", what, message.empty() ? "unknown GEOS error" : message));
}

}  // namespace detail

namespace {

using detail::geos_context;
using detail::throw_geos_error;

// GEOS predicates answer 1, 0, or 2 for an error.
bool predicate(char answer, std::string_view what) {
    if (answer == 2)
        throw_geos_error(what);
    return answer == 1;
}

std::vector<Point> copy_points(const GEOSCoordSequence* sequence) {
    unsigned int size = 0;
    if (!sequence || !GEOSCoordSeq_getSize_r(geos_context(), sequence, &size)) {
        throw_geos_error("cannot read coordinates");
    }
    std::vector<Point> points(size);
    static_assert(sizeof(Point) == 2 * sizeof(double));
    if (size > 0 && !GEOSCoordSeq_copyToBuffer_r(geos_context(), sequence,
                                                 reinterpret_cast<double*>(points.data()), 0, 0)) {
        throw_geos_error("cannot read coordinates");
    }
    return points;
}

}  // namespace

void Geometry::Deleter::operator()(GEOSGeom_t* geometry) const noexcept {
    GEOSGeom_destroy_r(geos_context(), geometry);
}

Geometry::Geometry(GEOSGeom_t* owned) : geometry_(owned) {
    if (!owned)
        throw_geos_error("geometry operation failed");
}

Geometry Geometry::from_geojson(const Json& geometry) {
    if (!geometry.is_object()) {
        throw InputError(
            fmt::format("geometry must be a GeoJSON geometry object, not {}", geometry.dump()));
    }
    auto* parsed = GEOSGeoJSONReader_readGeometry_r(geos_context(), detail::geos_thread().reader(),
                                                    geometry.dump().c_str());
    if (!parsed)
        throw_geos_error("invalid GeoJSON geometry");
    return Geometry(parsed);
}

Geometry Geometry::rectangle(const Bounds& b) {
    return Geometry(GEOSGeom_createRectangle_r(geos_context(), b.minx, b.miny, b.maxx, b.maxy));
}

std::string Geometry::type_name() const {
    char* name = GEOSGeomType_r(geos_context(), get());
    if (!name)
        throw_geos_error("cannot read the geometry type");
    std::string result(name);
    GEOSFree_r(geos_context(), name);
    return result;
}

bool Geometry::is_empty() const {
    return predicate(GEOSisEmpty_r(geos_context(), get()), "isEmpty");
}

Bounds Geometry::bounds() const {
    if (is_empty())
        throw InputError("an empty geometry has no bounds");
    Bounds b;
    auto* ctx = geos_context();
    if (!GEOSGeom_getXMin_r(ctx, get(), &b.minx) || !GEOSGeom_getYMin_r(ctx, get(), &b.miny) ||
        !GEOSGeom_getXMax_r(ctx, get(), &b.maxx) || !GEOSGeom_getYMax_r(ctx, get(), &b.maxy)) {
        throw_geos_error("cannot compute bounds");
    }
    return b;
}

Point Geometry::centroid() const {
    if (is_empty())
        throw InputError("an empty geometry has no centroid");
    return Geometry(GEOSGetCentroid_r(geos_context(), get())).as_point();
}

bool Geometry::contains(Point point) const {
    Geometry probe(GEOSGeom_createPointFromXY_r(geos_context(), point.x, point.y));
    return predicate(GEOSContains_r(geos_context(), get(), probe.get()), "contains");
}

bool Geometry::intersects(const Geometry& other) const {
    return predicate(GEOSIntersects_r(geos_context(), get(), other.get()), "intersects");
}

Geometry Geometry::intersection(const Geometry& other) const {
    auto* result = GEOSIntersection_r(geos_context(), get(), other.get());
    if (!result)
        throw_geos_error("intersection failed");
    return Geometry(result);
}

std::vector<Geometry> Geometry::parts() const {
    int count = GEOSGetNumGeometries_r(geos_context(), get());
    if (count < 0)
        throw_geos_error("cannot count parts");
    std::vector<Geometry> result;
    result.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        result.emplace_back(
            GEOSGeom_clone_r(geos_context(), GEOSGetGeometryN_r(geos_context(), get(), i)));
    }
    return result;
}

std::vector<Point> Geometry::exterior_ring() const {
    if (GEOSGeomTypeId_r(geos_context(), get()) != GEOS_POLYGON) {
        throw InputError(fmt::format("a {} has no single exterior ring", type_name()));
    }
    const auto* ring = GEOSGetExteriorRing_r(geos_context(), get());
    if (!ring)
        throw_geos_error("cannot read the exterior ring");
    return copy_points(GEOSGeom_getCoordSeq_r(geos_context(), ring));
}

std::size_t Geometry::interior_ring_count() const {
    int count = GEOSGetNumInteriorRings_r(geos_context(), get());
    if (count < 0)
        throw_geos_error("cannot count interior rings");
    return static_cast<std::size_t>(count);
}

std::vector<Point> Geometry::vertices() const {
    int type = GEOSGeomTypeId_r(geos_context(), get());
    if (type != GEOS_POINT && type != GEOS_LINESTRING && type != GEOS_LINEARRING) {
        throw InputError(fmt::format("a {} is not a point or a line", type_name()));
    }
    if (is_empty())
        return {};
    return copy_points(GEOSGeom_getCoordSeq_r(geos_context(), get()));
}

Point Geometry::as_point() const {
    if (GEOSGeomTypeId_r(geos_context(), get()) != GEOS_POINT) {
        throw InputError(fmt::format("a point is required, not a {}", type_name()));
    }
    auto points = vertices();
    if (points.empty())
        throw InputError("a point is required, not an empty point");
    return points.front();
}

}  // namespace plots
