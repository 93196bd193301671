#include "plots/render.hpp"

#include "fonts.hpp"
#include "plots/setup.hpp"
#include "png_rows.hpp"

#include <cairo-pdf.h>
#include <cairo.h>
#include <fmt/format.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace plots {
namespace {

struct CairoDeleter {
    void operator()(cairo_t* cr) const noexcept { cairo_destroy(cr); }
    void operator()(cairo_surface_t* surface) const noexcept { cairo_surface_destroy(surface); }
    void operator()(cairo_font_options_t* options) const noexcept {
        cairo_font_options_destroy(options);
    }
};
struct GObjectDeleter {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct FontDescriptionDeleter {
    void operator()(PangoFontDescription* font) const noexcept {
        pango_font_description_free(font);
    }
};
using CairoPtr = std::unique_ptr<cairo_t, CairoDeleter>;
using SurfacePtr = std::unique_ptr<cairo_surface_t, CairoDeleter>;
using FontOptionsPtr = std::unique_ptr<cairo_font_options_t, CairoDeleter>;
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;
using FontDescriptionPtr = std::unique_ptr<PangoFontDescription, FontDescriptionDeleter>;

void check(cairo_status_t status, std::string_view what) {
    if (status != CAIRO_STATUS_SUCCESS) {
        throw std::runtime_error(fmt::format("{}: {}", what, cairo_status_to_string(status)));
    }
}

// Draws a figure's artists onto a Cairo context whose units are `units_per_inch` to the inch:
// pixels at the figure's dpi for a raster, points for a PDF page. Sizes in points and the
// font resolution follow from it, so both outputs show the same plan.
class Painter {
  public:
    Painter(cairo_t* cr, const Figure& figure, double units_per_inch)
        : cr_(cr),
          axes_(figure.axes()),
          width_(figure.width_in() * units_per_inch),
          height_(figure.height_in() * units_per_inch),
          units_per_point_(units_per_inch / 72),
          pango_(pango_font_map_create_context(detail::thread_font_map())) {
        pango_cairo_update_context(cr, pango_.get());
        // Unhinted text lays out the same on a 300 dpi raster and on a PDF page.
        FontOptionsPtr options(cairo_font_options_create());
        cairo_font_options_set_hint_style(options.get(), CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(options.get(), CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_antialias(options.get(), CAIRO_ANTIALIAS_GRAY);
        pango_cairo_context_set_font_options(pango_.get(), options.get());
        pango_cairo_context_set_resolution(pango_.get(), units_per_inch);
        layout_.reset(pango_layout_new(pango_.get()));
        cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
    }

    void paint_background() {
        set_color(colors::white);
        cairo_paint(cr_);
    }

    void paint(const Artist& artist) {
        std::visit([this](const auto& shape) { draw(shape); }, artist.shape);
    }

  private:
    struct Device {
        double x;
        double y;
    };

    Device device(Point point, Coords coords) const {
        Point f = axes_.to_fraction(point, coords);
        return {f.x * width_, (1 - f.y) * height_};
    }
    double points(double pt) const { return pt * units_per_point_; }

    void set_color(Color c, double alpha = 1) {
        cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a * alpha);
    }

    void path(const std::vector<Point>& vertices, Coords coords, bool closed) {
        cairo_new_path(cr_);
        for (const auto& vertex : vertices) {
            Device d = device(vertex, coords);
            cairo_line_to(cr_, d.x, d.y);
        }
        if (closed)
            cairo_close_path(cr_);
    }

    void fill_and_edge(Color face, Color edge, double edge_width_pt) {
        set_color(face);
        cairo_fill_preserve(cr_);
        if (edge_width_pt > 0) {
            set_color(edge);
            cairo_set_line_width(cr_, points(edge_width_pt));
            cairo_stroke_preserve(cr_);
        }
        cairo_new_path(cr_);
    }

    void draw(const FilledPolygon& polygon) {
        path(polygon.ring, Coords::data, true);
        fill_and_edge(polygon.face, polygon.edge, polygon.edge_width_pt);
    }

    void draw(const Polyline& line) {
        path(line.points, Coords::data, false);
        set_color(line.color, line.alpha);
        cairo_set_line_width(cr_, points(line.width_pt));
        cairo_stroke(cr_);
    }

    void draw(const Markers& markers) {
        set_color(markers.color);
        for (const auto& at : markers.points) {
            Device d = device(at, Coords::data);
            cairo_new_sub_path(cr_);
            cairo_arc(cr_, d.x, d.y, points(markers.size_pt) / 2, 0, 2 * std::numbers::pi);
        }
        cairo_fill(cr_);
    }

    void draw(const Rectangle& rect) {
        Device a = device(rect.corner, Coords::data);
        Device b = device({rect.corner.x + rect.width, rect.corner.y + rect.height}, Coords::data);
        cairo_new_path(cr_);
        cairo_rectangle(cr_, std::min(a.x, b.x), std::min(a.y, b.y), std::abs(b.x - a.x),
                        std::abs(b.y - a.y));
        fill_and_edge(rect.face, rect.edge, rect.edge_width_pt);
    }

    void draw(const Arrow& arrow) {
        Device tail = device(arrow.tail, arrow.coords);
        Device head = device(arrow.head, arrow.coords);
        double length = std::hypot(head.x - tail.x, head.y - tail.y);
        Device along = length > 0 ? Device{(head.x - tail.x) / length, (head.y - tail.y) / length}
                                  : Device{0, -1};
        Device across{-along.y, along.x};
        auto at = [&](double forward, double side) {
            cairo_line_to(cr_, tail.x + along.x * forward + across.x * side,
                          tail.y + along.y * forward + across.y * side);
        };
        double half_shaft = points(arrow.shaft_width_pt) / 2;
        double half_head = points(arrow.head_width_pt) / 2;
        double base = length - points(arrow.head_length_pt);
        cairo_new_path(cr_);
        if (base > 0) {
            at(0, half_shaft);
            at(base, half_shaft);
        }
        at(base, half_head);
        at(length, 0);
        at(base, -half_head);
        if (base > 0) {
            at(base, -half_shaft);
            at(0, -half_shaft);
        }
        cairo_close_path(cr_);
        set_color(arrow.face);
        cairo_fill(cr_);
    }

    void draw(const Text& text) {
        FontDescriptionPtr font(pango_font_description_new());
        pango_font_description_set_family(font.get(), load().serif_family.c_str());
        pango_font_description_set_size(font.get(),
                                        static_cast<int>(std::lround(text.size_pt * PANGO_SCALE)));
        pango_font_description_set_weight(font.get(),
                                          text.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
        pango_layout_set_font_description(layout_.get(), font.get());
        pango_layout_set_text(layout_.get(), text.text.data(), static_cast<int>(text.text.size()));

        PangoRectangle box;
        pango_layout_get_extents(layout_.get(), nullptr, &box);
        double w = static_cast<double>(box.width) / PANGO_SCALE;
        double h = static_cast<double>(box.height) / PANGO_SCALE;
        double dx = text.ha == HAlign::left ? 0 : text.ha == HAlign::center ? -w / 2 : -w;
        double dy = text.va == VAlign::top ? 0 : text.va == VAlign::center ? -h / 2 : -h;

        Device anchor = device(text.at, text.coords);
        cairo_save(cr_);
        cairo_translate(cr_, anchor.x, anchor.y);
        // Anticlockwise on the page is a negative angle with the y axis pointing down.
        cairo_rotate(cr_, -text.rotation_deg * std::numbers::pi / 180);
        cairo_move_to(cr_, dx - static_cast<double>(box.x) / PANGO_SCALE,
                      dy - static_cast<double>(box.y) / PANGO_SCALE);
        set_color(text.color);
        pango_cairo_show_layout(cr_, layout_.get());
        cairo_restore(cr_);
    }

    cairo_t* cr_;
    const Axes& axes_;
    double width_;
    double height_;
    double units_per_point_;
    GObjectPtr<PangoContext> pango_;
    GObjectPtr<PangoLayout> layout_;
};

void draw_figure(cairo_t* cr, const Figure& figure, double units_per_inch) {
    Painter painter(cr, figure, units_per_inch);
    painter.paint_background();
    for (const Artist* artist : figure.axes().drawing_order())
        painter.paint(*artist);
    check(cairo_status(cr), "drawing the plan failed");
}

cairo_status_t append_to_string(void* out, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

void Raster::Deleter::operator()(_cairo_surface* surface) const noexcept {
    cairo_surface_destroy(surface);
}

Raster::Raster(_cairo_surface* surface, double dpi)
    : surface_(surface),
      width_(cairo_image_surface_get_width(surface)),
      height_(cairo_image_surface_get_height(surface)),
      dpi_(dpi) {}

std::span<const std::uint32_t> Raster::row(int y) const {
    const unsigned char* data = cairo_image_surface_get_data(surface_.get());
    int stride = cairo_image_surface_get_stride(surface_.get());
    return {reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride),
            static_cast<std::size_t>(width_)};
}

Raster render_raster(const Figure& figure) {
    // The plan is opaque, so the surface carries no alpha.
    SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, figure.pixel_width(),
                                                  figure.pixel_height()));
    check(cairo_surface_status(surface.get()), "cannot create the plan's raster");
    CairoPtr cr(cairo_create(surface.get()));
    draw_figure(cr.get(), figure, figure.dpi());
    cr.reset();
    cairo_surface_flush(surface.get());
    return Raster(surface.release(), figure.dpi());
}

std::string render_pdf(const Figure& figure) {
    std::string out;
    SurfacePtr surface(cairo_pdf_surface_create_for_stream(
        append_to_string, &out, figure.width_in() * 72, figure.height_in() * 72));
    check(cairo_surface_status(surface.get()), "cannot create the plan's PDF page");
    CairoPtr cr(cairo_create(surface.get()));
    draw_figure(cr.get(), figure, 72);
    cr.reset();
    cairo_surface_finish(surface.get());
    check(cairo_surface_status(surface.get()), "writing the plan's PDF failed");
    return out;
}

int band_rows(int width_px) {
    constexpr std::size_t band_bytes = 16 << 20;
    const std::size_t row_bytes = static_cast<std::size_t>(std::max(width_px, 1)) * 4;
    return static_cast<int>(std::max<std::size_t>(band_bytes / row_bytes, 1));
}

namespace {

// The pixels of one band, lent by the drawing thread and kept by it for its next plan. A band is
// some 16 MiB, which the allocator maps fresh for each plan and unmaps when it is freed; faulting
// those pages in again cost more than drawing and encoding the plan. A thread keeps at most one
// band's worth (a band never exceeds band_rows), so the memory held between plans is bounded by
// the drawing threads. A second band drawn on the same thread at once gets memory of its own.
class BandPixels {
  public:
    explicit BandPixels(std::size_t bytes) {
        Kept& kept = thread_kept();
        if (kept.lent) {
            own_ = std::make_unique_for_overwrite<unsigned char[]>(bytes);
            data_ = own_.get();
            return;
        }
        if (kept.capacity < bytes) {
            kept.memory.reset();
            kept.memory = std::make_unique_for_overwrite<unsigned char[]>(bytes);
            kept.capacity = bytes;
        }
        kept.lent = true;
        data_ = kept.memory.get();
    }
    ~BandPixels() {
        if (!own_)
            thread_kept().lent = false;
    }
    BandPixels(const BandPixels&) = delete;
    BandPixels& operator=(const BandPixels&) = delete;

    unsigned char* data() const noexcept { return data_; }

  private:
    struct Kept {
        std::unique_ptr<unsigned char[]> memory;
        std::size_t capacity = 0;
        bool lent = false;
    };
    static Kept& thread_kept() {
        thread_local Kept kept;
        return kept;
    }

    std::unique_ptr<unsigned char[]> own_;
    unsigned char* data_ = nullptr;
};

// The rows of each band when a page of `height` rows is cut into bands of at most `max_rows`:
// as many bands as needed, of equal height, so the last one does not paint a whole band's
// background for a few rows.
int even_band_rows(int height, int max_rows) {
    const int bands = (height + max_rows - 1) / max_rows;
    return (height + bands - 1) / bands;
}

// One band of a figure's rows at a time: the whole scene is drawn again for each band, moved up
// by the band's top, so every artist keeps its user coordinates and the bands meet without a
// seam. The background paint covers every pixel of a band, so its memory needs no clearing.
class Bands {
  public:
    Bands(const Figure& figure, int rows)
        : figure_(figure),
          rows_(even_band_rows(std::max(figure.pixel_height(), 1),
                               std::clamp(rows, 1, std::max(figure.pixel_height(), 1)))),
          stride_(cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, figure.pixel_width())),
          pixels_(static_cast<std::size_t>(std::max(stride_, 0)) * static_cast<std::size_t>(rows_)),
          surface_(cairo_image_surface_create_for_data(pixels_.data(), CAIRO_FORMAT_RGB24,
                                                       figure.pixel_width(), rows_, stride_)) {
        check(cairo_surface_status(surface_.get()), "cannot create the plan's raster band");
    }

    std::span<const std::uint32_t> row(int y) {
        if (top_ < 0 || y < top_ || y >= top_ + rows_)
            draw_band_from(y);
        return {reinterpret_cast<const std::uint32_t*>(
                    pixels_.data() + static_cast<std::ptrdiff_t>(y - top_) * stride_),
                static_cast<std::size_t>(figure_.pixel_width())};
    }

  private:
    void draw_band_from(int top) {
        CairoPtr cr(cairo_create(surface_.get()));
        cairo_translate(cr.get(), 0, -top);
        draw_figure(cr.get(), figure_, figure_.dpi());
        cr.reset();
        cairo_surface_flush(surface_.get());
        top_ = top;
    }

    const Figure& figure_;
    int rows_;
    int stride_;
    BandPixels pixels_;
    // Destroyed before the pixels it draws into are given back.
    SurfacePtr surface_;
    int top_ = -1;
};

}  // namespace

std::string encode_png_in_bands(const Figure& figure, int rows, const PngSettings& settings) {
    Bands bands(figure, rows);
    return detail::encode_png_rows(figure.pixel_width(), figure.pixel_height(), figure.dpi(),
                                   settings, [&bands](int y) { return bands.row(y); });
}

std::string encode_png(const Figure& figure, const PngSettings& settings) {
    return encode_png_in_bands(figure, band_rows(figure.pixel_width()), settings);
}

}  // namespace plots
