#include "plots/plot.hpp"

#include "plots/beacons.hpp"
#include "plots/errors.hpp"
#include "plots/north_arrow.hpp"
#include "plots/plan_window.hpp"
#include "plots/render.hpp"
#include "plots/roads.hpp"
#include "plots/scale_bar.hpp"
#include "plots/setup.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace plots {
namespace {

constexpr double dpi = 300;
constexpr double mm_per_inch = 25.4;
// Cairo's raster surfaces stop at this many pixels per side.
constexpr double max_raster_pixels = 32767;

constexpr Color neighbour_face = hex_color("#f5f5f5");
constexpr Color neighbour_edge = hex_color("#888888");
constexpr Color target_face{1.0, 0.9, 0.9, 1.0};

void check_list(const Json& value, std::string_view name, bool null_allowed) {
    if (value.is_array() || (null_allowed && value.is_null()))
        return;
    throw InputError(fmt::format("{} must be a list{}, not {}", name,
                                 null_allowed ? " or null" : "", value.type_name()));
}

void check_paper(const Options& options) {
    for (double mm : {options.max_width_mm, options.max_height_mm}) {
        if (!(mm >= SMALLEST_PAPER_MM) || mm / mm_per_inch * dpi > max_raster_pixels) {
            throw InputError(
                fmt::format("paper size {} x {} mm cannot be drawn: each side must be "
                            "at least {} mm and at most {:.0f} mm",
                            options.max_width_mm, options.max_height_mm, SMALLEST_PAPER_MM,
                            max_raster_pixels / dpi * mm_per_inch));
        }
    }
}

std::string parcel_name(std::size_t i) {
    return fmt::format("parcel record {}", i);
}

// Geometry errors carry GEOS's or PROJ's message; the record's name tells the caller which one.
template <typename Step>
auto naming_record(std::string_view name, Step step) {
    try {
        return step();
    } catch (const InputError& error) {
        throw InputError(fmt::format("{}: {}", name, error.what()));
    }
}

Geometry projected_record_geometry(const Json& record, std::string_view name) {
    const Json& geometry = required_field(record, "geometry", name);
    return naming_record(name, [&] { return project_geometry(Geometry::from_geojson(geometry)); });
}

// The first record whose identifier matches; records after it are not looked at here.
std::optional<std::size_t> find_target(const Json& parcels, const Json& selected,
                                       const std::string& columnname) {
    for (std::size_t i = 0; i < parcels.size(); ++i) {
        if (identifiers_equal(required_field(parcels[i], columnname, parcel_name(i)), selected))
            return i;
    }
    return std::nullopt;
}

int font_size_for(int scale) {
    constexpr int base_fontsize = 10;
    int font_scale_adj = scale < 2000 ? 0 : scale < 5000 ? 1 : 2;
    return std::max(base_fontsize - font_scale_adj, 6);
}

// Everything the drawing steps read, once the target is found and projected.
struct Layout {
    Geometry target_geom;
    Point centroid;
    int scale;
    Limits xlim;
    Limits ylim;
};

Layout lay_out(Geometry target_geom, const Options& options) {
    if (target_geom.type_name() != "Polygon" || target_geom.is_empty()) {
        throw InputError(
            fmt::format("the target parcel must be a single non-empty Polygon, not a {}",
                        target_geom.type_name()));
    }
    Point c = target_geom.centroid();
    PlanWindow window =
        plan_window(target_geom.bounds(), c, {options.max_width_mm, options.max_height_mm});
    std::string line = fmt::format("Recommended scale: 1:{}\n", window.scale);
    // One call, so that the lines of concurrent plans do not interleave.
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
    const Bounds& ground = window.ground;
    return {std::move(target_geom),
            c,
            window.scale,
            {ground.minx, ground.maxx},
            {ground.miny, ground.maxy}};
}

void draw_roads(Axes& ax, const Json& road_data, const Geometry& viewport) {
    if (road_data.is_null())
        return;
    for (std::size_t i = 0; i < road_data.size(); ++i) {
        Geometry road = projected_record_geometry(road_data[i], fmt::format("road record {}", i));
        Geometry clipped = road.intersection(viewport);
        if (!clipped.is_empty())
            plot_road_element(ax, clipped);
    }
}

void draw_neighbours(Axes& ax, const Json& parcels, const Json& selected,
                     const std::string& columnname, const Geometry& viewport) {
    for (std::size_t i = 0; i < parcels.size(); ++i) {
        auto name = parcel_name(i);
        if (identifiers_equal(required_field(parcels[i], columnname, name), selected))
            continue;
        Geometry neighbour = projected_record_geometry(parcels[i], name);
        if (!neighbour.intersects(viewport))
            continue;
        // Neighbours are not clipped: the page edge crops them.
        auto ring = naming_record(name, [&] { return neighbour.exterior_ring(); });
        ax.add(FilledPolygon{.ring = std::move(ring),
                             .face = neighbour_face,
                             .edge = neighbour_edge,
                             .edge_width_pt = 0.5},
               3);
    }
}

void draw_title_and_area(Axes& ax, const Json& target, const Layout& layout, int fontsize) {
    const Json& name = required_field(target, "name", "the target parcel");
    ax.add(Text{.text = default_text(name),
                .at = {layout.centroid.x, layout.centroid.y + 2.0 * layout.scale / 1000},
                .size_pt = fontsize + 2.0,
                .bold = true,
                .ha = HAlign::center,
                .va = VAlign::bottom},
           8);
    const Json* area = optional_field(target, "area");
    ax.add(Text{.text = (area ? default_text(*area) : "0") + " m²",
                .at = {layout.centroid.x, layout.centroid.y - 0.75},
                .size_pt = fontsize - 2.0,
                .ha = HAlign::center,
                .va = VAlign::top},
           8);
}

}  // namespace

Plan compose_plot(const Json& parcel_data, const Json& selected_parcel_number,
                  const Json& road_data, const Options& options) {
    const Setup& setup = load();
    const auto& columnname = options.columnname;
    setup.logger->info("Generating plot for {}={}", columnname,
                       default_text(selected_parcel_number));
    check_list(parcel_data, "parcel_data", false);
    check_list(road_data, "road_data", true);
    check_paper(options);

    auto target_index = find_target(parcel_data, selected_parcel_number, columnname);
    if (!target_index) {
        throw ValueError(fmt::format("Parcel with {}={} not found.", columnname,
                                     default_text(selected_parcel_number)));
    }
    const Json& target = parcel_data[*target_index];
    Layout layout = lay_out(projected_record_geometry(target, "the target parcel"), options);

    Plan plan{Figure(options.max_width_mm / mm_per_inch, options.max_height_mm / mm_per_inch, dpi),
              {options.max_width_mm, options.max_height_mm},
              layout.scale,
              {}};
    Axes& ax = plan.figure.axes();
    ax.set_limits(layout.xlim, layout.ylim);
    Geometry viewport =
        Geometry::rectangle({layout.xlim.low, layout.ylim.low, layout.xlim.high, layout.ylim.high});

    draw_roads(ax, road_data, viewport);
    draw_neighbours(ax, parcel_data, selected_parcel_number, columnname, viewport);
    ax.add(FilledPolygon{.ring = layout.target_geom.exterior_ring(),
                         .face = target_face,
                         .edge = colors::red,
                         .edge_width_pt = 1.5},
           5);

    int fontsize = font_size_for(layout.scale);
    const Json* boundary = optional_field(target, "boundary");
    annotate_beacons(ax, boundary ? *boundary : Json::array(), layout.target_geom, layout.centroid,
                     layout.scale, fontsize, plan.schedule);
    draw_title_and_area(ax, target, layout, fontsize);
    add_north_arrow(ax);
    add_scale_bar(ax, layout.scale);
    return plan;
}

PlanMemory png_memory(const Paper& paper) {
    const auto pixels = [](double mm) {
        return static_cast<std::size_t>(std::lround(std::max(mm, 0.0) / mm_per_inch * dpi));
    };
    const std::size_t width = pixels(paper.width_mm);
    const std::size_t height = pixels(paper.height_mm);
    const std::size_t band =
        std::min<std::size_t>(static_cast<std::size_t>(band_rows(static_cast<int>(width))), height);
    // zlib's deflate state at the encoder's level, libpng's row buffers and Cairo's per-band
    // spans, rounded up.
    constexpr std::size_t encoder_bytes = 2 << 20;
    return {.drawing = width * band * 4 + encoder_bytes, .file = width * height / 8};
}

PlotResult generate_plot(const Json& parcel_data, const Json& selected_parcel_number,
                         const Json& road_data, const Options& options) {
    Plan plan = compose_plot(parcel_data, selected_parcel_number, road_data, options);
    return {base64_encode(encode_png(plan.figure)), plan.paper_size, plan.scale,
            std::move(plan.schedule)};
}

}  // namespace plots
