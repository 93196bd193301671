#pragma once

#include "plots/render.hpp"

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace plots::detail {

// The pixels of row `y` (0x00RRGGBB words), asked for once each, from the top row down; the
// view needs to stay valid only until the next call.
using RowSource = std::function<std::span<const std::uint32_t>(int y)>;

// 8-bit RGB PNG of a `width` x `height` image at `dpi`, whose rows come from `rows`, so the
// caller never needs to hold the whole image. Errors of `rows` pass through.
std::string encode_png_rows(int width, int height, double dpi, const PngSettings& settings,
                            const RowSource& rows);

}  // namespace plots::detail
