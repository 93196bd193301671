#pragma once

#include "plots/figure.hpp"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

struct _cairo_surface;

namespace plots {

// A figure drawn into memory: opaque pixels, one 32-bit word 0x00RRGGBB per pixel.
class Raster {
  public:
    int width() const noexcept { return width_; }
    int height() const noexcept { return height_; }
    double dpi() const noexcept { return dpi_; }
    // One row of `width()` pixels.
    std::span<const std::uint32_t> row(int y) const;

  private:
    friend Raster render_raster(const Figure& figure);
    struct Deleter {
        void operator()(_cairo_surface* surface) const noexcept;
    };
    Raster(_cairo_surface* surface, double dpi);
    std::unique_ptr<_cairo_surface, Deleter> surface_;
    int width_ = 0;
    int height_ = 0;
    double dpi_ = 0;
};

Raster render_raster(const Figure& figure);

enum class PngFilter { none, sub, up, average, paeth };
enum class ZlibStrategy { standard, filtered, run_length };

// The defaults were the fastest settings measured on the plans of tests/data (bench/plots), and
// their files were among the smallest: a plan is mostly flat colour, which deflate handles well
// without a prediction filter, while Sub or Up only add work on the anti-aliased edges.
struct PngSettings {
    PngFilter filter = PngFilter::none;
    int zlib_level = 2;
    ZlibStrategy strategy = ZlibStrategy::standard;
};

// 8-bit RGB PNG with the raster's resolution in a pHYs chunk.
std::string encode_png(const Raster& raster, const PngSettings& settings = {});
// The figure is drawn band by band, in bands of equal height of at most band_rows(width) rows,
// each band's rows encoded as soon as it is drawn, so only one band is ever held; the file is
// byte for byte the PNG of render_raster(figure). The band's memory is kept by the drawing thread
// for its next plan.
std::string encode_png(const Figure& figure, const PngSettings& settings = {});
// The same with bands of at most `rows` rows (at least 1).
std::string encode_png_in_bands(const Figure& figure, int rows, const PngSettings& settings = {});
// The rows of a band `width_px` pixels wide: about 16 MiB of pixels, at least one row.
int band_rows(int width_px);

// The same artists as vector graphics on one page of exactly the figure's size in points, so that
// printing at 100 % keeps the plan's scale.
std::string render_pdf(const Figure& figure);

// RFC 4648 standard alphabet with padding, no line breaks.
std::string base64_encode(std::string_view bytes);

}  // namespace plots
