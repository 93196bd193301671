#pragma once

#include <pango/pango.h>

namespace plots::detail {

// The calling thread's Pango font map. Pango font maps must not be shared between threads; this
// one is released when the thread ends, with everything it cached from fontconfig.
PangoFontMap* thread_font_map();

}  // namespace plots::detail
