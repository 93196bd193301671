#include "projection.hpp"

#include <proj.h>

#include <stdexcept>
#include <string>

namespace seed {

void Projection::ContextDeleter::operator()(pj_ctx* context) const noexcept {
    proj_context_destroy(context);
}

void Projection::TransformDeleter::operator()(PJconsts* transformation) const noexcept {
    proj_destroy(transformation);
}

Projection::Projection(const char* from, const char* to) : context_(proj_context_create()) {
    if (!context_)
        throw std::runtime_error("cannot create a PROJ context");
    std::unique_ptr<PJconsts, TransformDeleter> raw(
        proj_create_crs_to_crs(context_.get(), from, to, nullptr));
    if (!raw) {
        throw std::runtime_error(
            std::string("no transformation from ") + from + " to " + to + ": " +
            proj_context_errno_string(context_.get(), proj_context_errno(context_.get())));
    }
    transformation_.reset(proj_normalize_for_visualization(context_.get(), raw.get()));
    if (!transformation_)
        throw std::runtime_error("cannot normalise the axis order");
}

Projection::~Projection() = default;

Point Projection::operator()(Point p) const {
    transform({&p, 1});
    return p;
}

void Projection::transform(std::span<Point> points) const {
    if (points.empty())
        return;
    constexpr auto stride = sizeof(Point);
    const std::size_t done =
        proj_trans_generic(transformation_.get(), PJ_FWD, &points[0].x, stride, points.size(),
                           &points[0].y, stride, points.size(), nullptr, 0, 0, nullptr, 0, 0);
    if (done != points.size() || proj_errno(transformation_.get()) != 0)
        throw std::runtime_error("coordinate transformation failed");
}

}  // namespace seed
