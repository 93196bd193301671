#include "png_rows.hpp"

#include "plots/render.hpp"

#include <fmt/format.h>
#include <png.h>
#include <zlib.h>

#include <cmath>
#include <csetjmp>
#include <stdexcept>
#include <vector>

namespace plots {
namespace {

struct PngOutput {
    std::string bytes;
    std::string error;
};

void append_bytes(png_structp png, png_bytep data, png_size_t length) {
    static_cast<PngOutput*>(png_get_io_ptr(png))
        ->bytes.append(reinterpret_cast<const char*>(data), length);
}

void flush_nothing(png_structp) {}

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
    static_cast<PngOutput*>(png_get_error_ptr(png))->error = message;
    png_longjmp(png, 1);
}

void ignore_png_warning(png_structp, png_const_charp) {}

int png_filter_flag(PngFilter filter) {
    switch (filter) {
        case PngFilter::none:
            return PNG_FILTER_NONE;
        case PngFilter::sub:
            return PNG_FILTER_SUB;
        case PngFilter::up:
            return PNG_FILTER_UP;
        case PngFilter::average:
            return PNG_FILTER_AVG;
        case PngFilter::paeth:
            return PNG_FILTER_PAETH;
    }
    return PNG_FILTER_SUB;
}

int zlib_strategy(ZlibStrategy strategy) {
    switch (strategy) {
        case ZlibStrategy::standard:
            return Z_DEFAULT_STRATEGY;
        case ZlibStrategy::filtered:
            return Z_FILTERED;
        case ZlibStrategy::run_length:
            return Z_RLE;
    }
    return Z_DEFAULT_STRATEGY;
}

void to_rgb(std::span<const std::uint32_t> pixels, std::vector<png_byte>& rgb) {
    png_byte* out = rgb.data();
    for (std::uint32_t pixel : pixels) {
        *out++ = static_cast<png_byte>(pixel >> 16);
        *out++ = static_cast<png_byte>(pixel >> 8);
        *out++ = static_cast<png_byte>(pixel);
    }
}

// The encoder's C state, destroyed on every way out, exceptions of the row source included.
class PngWriteStruct {
  public:
    explicit PngWriteStruct(PngOutput& output)
        : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, &output, on_png_error,
                                       ignore_png_warning)) {
        if (png_)
            info_ = png_create_info_struct(png_);
        if (!png_ || !info_) {
            png_destroy_write_struct(&png_, &info_);
            throw std::runtime_error("cannot start the PNG encoder");
        }
        png_set_write_fn(png_, &output, append_bytes, flush_nothing);
    }
    ~PngWriteStruct() { png_destroy_write_struct(&png_, &info_); }
    PngWriteStruct(const PngWriteStruct&) = delete;
    PngWriteStruct& operator=(const PngWriteStruct&) = delete;

    png_structp png() const noexcept { return png_; }
    png_infop info() const noexcept { return info_; }

  private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

struct PngShape {
    int width;
    int height;
    double dpi;
};

// libpng reports errors by long-jumping back here, so this function holds no object with a
// destructor between setjmp and the calls that may jump; the row buffer belongs to the caller,
// and the row source returns before libpng is called again.
bool write_png(png_structp png, png_infop info, PngShape shape, const PngSettings& settings,
               const detail::RowSource& rows, std::vector<png_byte>& rgb) {
    if (setjmp(png_jmpbuf(png)))
        return false;
    png_set_IHDR(png, info, static_cast<png_uint_32>(shape.width),
                 static_cast<png_uint_32>(shape.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    auto per_metre = static_cast<png_uint_32>(std::lround(shape.dpi / 0.0254));
    png_set_pHYs(png, info, per_metre, per_metre, PNG_RESOLUTION_METER);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, png_filter_flag(settings.filter));
    png_set_compression_level(png, settings.zlib_level);
    png_set_compression_strategy(png, zlib_strategy(settings.strategy));
    png_write_info(png, info);
    for (int y = 0; y < shape.height; ++y) {
        to_rgb(rows(y), rgb);
        png_write_row(png, rgb.data());
    }
    png_write_end(png, info);
    return true;
}

}  // namespace

namespace detail {

std::string encode_png_rows(int width, int height, double dpi, const PngSettings& settings,
                            const RowSource& rows) {
    PngOutput output;
    PngWriteStruct encoder(output);
    std::vector<png_byte> rgb(static_cast<std::size_t>(width) * 3);
    if (!write_png(encoder.png(), encoder.info(), {width, height, dpi}, settings, rows, rgb))
        throw std::runtime_error(fmt::format("PNG encoding failed: {}", output.error));
    return std::move(output.bytes);
}

}  // namespace detail

std::string encode_png(const Raster& raster, const PngSettings& settings) {
    return detail::encode_png_rows(raster.width(), raster.height(), raster.dpi(), settings,
                                   [&raster](int y) { return raster.row(y); });
}

}  // namespace plots
