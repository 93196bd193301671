#pragma once

#include "geometry.hpp"

#include <memory>
#include <span>

struct pj_ctx;
struct PJconsts;

namespace seed {

// A coordinate transformation between two EPSG systems, easting (longitude) first whatever the
// systems' official axis order.
class Projection {
  public:
    Projection(const char* from, const char* to);
    ~Projection();
    Projection(const Projection&) = delete;
    Projection& operator=(const Projection&) = delete;

    Point operator()(Point p) const;
    void transform(std::span<Point> points) const;  // in place

  private:
    struct ContextDeleter {
        void operator()(pj_ctx* context) const noexcept;
    };
    struct TransformDeleter {
        void operator()(PJconsts* transformation) const noexcept;
    };
    std::unique_ptr<pj_ctx, ContextDeleter> context_;
    std::unique_ptr<PJconsts, TransformDeleter> transformation_;
};

}  // namespace seed
