#include "plots/setup.hpp"

#include "fonts.hpp"
#include "geos_context.hpp"
#include "plots/errors.hpp"

#include <fmt/format.h>
#include <pango/pangocairo.h>
#include <proj.h>

#include <strings.h>
#include <cmath>
#include <stdexcept>

namespace plots {
namespace {

// PROJ objects must not be shared between threads, so each thread builds its own context and
// transformation from the one definition (SRC_CRS, DST_CRS), on first use.
class Transformation {
  public:
    Transformation() : context_(proj_context_create()) {
        if (!context_)
            throw std::runtime_error("cannot create a PROJ context");
        PJ* raw = proj_create_crs_to_crs(context_, std::string(SRC_CRS).c_str(),
                                         std::string(DST_CRS).c_str(), nullptr);
        if (raw) {
            // Easting first whatever order the EPSG definitions give their axes.
            transformation_ = proj_normalize_for_visualization(context_, raw);
            proj_destroy(raw);
        }
        if (!transformation_) {
            std::string reason = proj_context_errno_string(context_, proj_context_errno(context_));
            proj_context_destroy(context_);
            throw std::runtime_error(fmt::format("cannot build the transformation {} -> {}: {}",
                                                 SRC_CRS, DST_CRS, reason));
        }
    }
    ~Transformation() {
        proj_destroy(transformation_);
        proj_context_destroy(context_);
    }
    Transformation(const Transformation&) = delete;
    Transformation& operator=(const Transformation&) = delete;

    // False when PROJ cannot transform the position (it then answers infinity).
    bool apply(double& x, double& y) const {
        PJ_COORD out = proj_trans(transformation_, PJ_FWD, proj_coord(x, y, 0, 0));
        if (!std::isfinite(out.xy.x) || !std::isfinite(out.xy.y))
            return false;
        x = out.xy.x;
        y = out.xy.y;
        return true;
    }

  private:
    PJ_CONTEXT* context_;
    PJ* transformation_ = nullptr;
};

const Transformation& thread_transformation() {
    thread_local const Transformation transformation;
    return transformation;
}

class ThreadFontMap {
  public:
    ThreadFontMap() : map_(pango_cairo_font_map_new()) {}
    ~ThreadFontMap() { g_object_unref(map_); }
    ThreadFontMap(const ThreadFontMap&) = delete;
    ThreadFontMap& operator=(const ThreadFontMap&) = delete;
    PangoFontMap* get() const noexcept { return map_; }

  private:
    PangoFontMap* map_;
};

std::string installed_serif_family() {
    PangoFontFamily** families = nullptr;
    int count = 0;
    pango_font_map_list_families(detail::thread_font_map(), &families, &count);
    std::string chosen = "serif";
    for (auto preferred : SERIF_PREFERENCE) {
        for (int i = 0; i < count && chosen == "serif"; ++i) {
            std::string name = pango_font_family_get_name(families[i]);
            if (strcasecmp(name.c_str(), std::string(preferred).c_str()) == 0)
                chosen = name;
        }
    }
    g_free(families);
    return chosen;
}

Setup make_setup() {
    Setup setup{installed_serif_family(), host::get_logger()};
    setup.logger->info("Loaded plots module");
    thread_transformation();  // a transformation that cannot be built fails the load
    return setup;
}

struct FailedVertex {
    double x = 0;
    double y = 0;
};

bool inside_source_square(double x, double y) {
    return std::abs(x) <= SRC_CRS_HALF_WIDTH_M && std::abs(y) <= SRC_CRS_HALF_WIDTH_M;
}

int project_vertex(double* x, double* y, void* failed) {
    double in_x = *x;
    double in_y = *y;
    if (inside_source_square(in_x, in_y) && thread_transformation().apply(*x, *y))
        return 1;
    *static_cast<FailedVertex*>(failed) = {in_x, in_y};
    return 0;
}

}  // namespace

PangoFontMap* detail::thread_font_map() {
    thread_local const ThreadFontMap map;
    return map.get();
}

const Setup& load() {
    static const Setup setup = make_setup();
    return setup;
}

Geometry project_geometry(const Geometry& geometry) {
    load();
    FailedVertex failed;
    auto* projected =
        GEOSGeom_transformXY_r(detail::geos_context(), geometry.get(), project_vertex, &failed);
    if (!projected && !inside_source_square(failed.x, failed.y)) {
        throw InputError(fmt::format(
            "the vertex ({}, {}) lies outside {}, whose coordinates are within +/-{:.2f} m",
            failed.x, failed.y, SRC_CRS, SRC_CRS_HALF_WIDTH_M));
    }
    if (!projected) {
        throw InputError(fmt::format("cannot project the vertex ({}, {}) from {} to {}", failed.x,
                                     failed.y, SRC_CRS, DST_CRS));
    }
    return Geometry(projected);
}

}  // namespace plots
