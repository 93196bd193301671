#include "plot_support.hpp"

#include "support.hpp"

#include <gtest/gtest.h>
#include <png.h>
#include <proj.h>

#include <cmath>
#include <fstream>
#include <stdexcept>

namespace plots::test {
namespace {

// The inverse of the renderer's transformation, for placing test data on the plan.
class InverseProjection {
  public:
    InverseProjection() : context_(proj_context_create()) {
        PJ* raw = proj_create_crs_to_crs(context_, "EPSG:3857", "EPSG:26332", nullptr);
        pj_ = proj_normalize_for_visualization(context_, raw);
        proj_destroy(raw);
    }
    ~InverseProjection() {
        proj_destroy(pj_);
        proj_context_destroy(context_);
    }
    InverseProjection(const InverseProjection&) = delete;
    InverseProjection& operator=(const InverseProjection&) = delete;

    // PROJ's inverse is not the exact inverse of its forward transformation (they differ by a
    // fraction of a millimetre here), so the result is refined until it projects onto `plan`.
    Point to_web(Point plan) const {
        Point target = apply(plan, PJ_INV);
        Point web = target;
        for (int i = 0; i < 4; ++i) {
            Point back = apply(apply(web, PJ_FWD), PJ_INV);
            web = {web.x + target.x - back.x, web.y + target.y - back.y};
        }
        return web;
    }

  private:
    Point apply(Point p, PJ_DIRECTION direction) const {
        PJ_COORD out = proj_trans(pj_, direction, proj_coord(p.x, p.y, 0, 0));
        return {out.xy.x, out.xy.y};
    }

    PJ_CONTEXT* context_;
    PJ* pj_;
};

Json coordinates(Point plan) {
    thread_local const InverseProjection inverse;
    Point web = inverse.to_web(plan);
    return Json::array({web.x, web.y});
}

}  // namespace

Json plan_input(std::string_view name) {
    auto path = kavara::test::source_dir() / "tests/data/plans" / (std::string(name) + ".json");
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return Json::parse(in);
}

Geometry geometry(std::string_view geojson) {
    return Geometry::from_geojson(Json::parse(geojson));
}

Json web_point(Point plan) {
    return Json{{"type", "Point"}, {"coordinates", coordinates(plan)}};
}

Json web_polygon(const std::vector<Point>& plan_ring) {
    Json ring = Json::array();
    for (const auto& p : plan_ring)
        ring.push_back(coordinates(p));
    ring.push_back(coordinates(plan_ring.front()));
    return Json{{"type", "Polygon"}, {"coordinates", Json::array({ring})}};
}

std::vector<Point> square(Point c, double side) {
    return {c, {c.x + side, c.y}, {c.x + side, c.y + side}, {c.x, c.y + side}};
}

std::vector<std::string> texts(const Axes& ax) {
    std::vector<std::string> out;
    for (const auto& found : shapes<Text>(ax))
        out.push_back(found.shape->text);
    return out;
}

const Text& text_artist(const Axes& ax, std::string_view text) {
    for (const auto& found : shapes<Text>(ax)) {
        if (found.shape->text == text)
            return *found.shape;
    }
    ADD_FAILURE() << "no text \"" << text << "\"";
    static const Text none;
    return none;
}

double distance(Point a, Point b) {
    return std::hypot(a.x - b.x, a.y - b.y);
}

Image::Pixel Image::at(int x, int y) const {
    auto i = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
              static_cast<std::size_t>(x)) *
             3;
    return {rgb[i], rgb[i + 1], rgb[i + 2]};
}

Image::Pixel Image::at_fraction(double fx, double fy) const {
    return at(static_cast<int>(fx * width), static_cast<int>((1 - fy) * height));
}

Image decode_png(std::string_view png) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) {
        throw std::runtime_error(std::string("not a PNG: ") + image.message);
    }
    image.format = PNG_FORMAT_RGB;
    Image out;
    out.width = static_cast<int>(image.width);
    out.height = static_cast<int>(image.height);
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) {
        throw std::runtime_error(std::string("bad PNG: ") + image.message);
    }
    return out;
}

std::string base64_decode(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z')
            return c - 'A';
        if (c >= 'a' && c <= 'z')
            return c - 'a' + 26;
        if (c >= '0' && c <= '9')
            return c - '0' + 52;
        if (c == '+')
            return 62;
        if (c == '/')
            return 63;
        throw std::runtime_error("not base64");
    };
    std::string out;
    unsigned int bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        bits = (bits << 6) | static_cast<unsigned int>(value(c));
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

}  // namespace plots::test
