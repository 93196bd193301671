#include "plots/scale_bar.hpp"

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

namespace plots {
namespace {

constexpr double target_paper_mm = 50;
constexpr std::array nice_steps = {1, 2, 5, 10, 20, 25, 50, 100};
constexpr int num_steps_left = 2;
constexpr int num_steps_right = 2;
constexpr int total_steps = num_steps_left + num_steps_right;
constexpr double label_size_pt = 9;

// What every piece of the bar is placed from, in ground metres.
struct BarFrame {
    int step;
    double start_x;
    double start_y;
    double bar_height;
    double view_w;
    double tick_h() const { return bar_height * 0.5; }
    double label_y() const { return start_y + bar_height + tick_h() * 1.2; }
    double x_at(int i) const { return start_x + i * step; }
};

BarFrame place_bar(const Axes& ax, int scale) {
    int step = scale_bar_step(scale);
    double total_len_m = total_steps * step;
    auto [x0, x1] = ax.xlim();
    auto [y0, y1] = ax.ylim();
    double view_w = x1 - x0;
    double view_h = y1 - y0;
    double end_x = x1 - view_w * 0.05;
    return {step, end_x - total_len_m, y0 + view_h * 0.02, view_h * 0.015, view_w};
}

Polyline black_line(Point from, Point to) {
    return {.points = {from, to}, .color = colors::black, .width_pt = 1};
}

Text bar_label(std::string text, Point at, HAlign ha) {
    return {.text = std::move(text),
            .at = at,
            .size_pt = label_size_pt,
            .bold = true,
            .ha = ha,
            .va = VAlign::bottom};
}

void add_segments(Axes& ax, const BarFrame& bar) {
    ax.add(Rectangle{.corner = {bar.start_x, bar.start_y},
                     .width = double(total_steps * bar.step),
                     .height = bar.bar_height,
                     .face = colors::white,
                     .edge = colors::black,
                     .edge_width_pt = 1},
           10);
    for (int i = 0; i < total_steps; ++i) {
        if (i % 2 == 0) {
            ax.add(Rectangle{.corner = {bar.x_at(i), bar.start_y},
                             .width = double(bar.step),
                             .height = bar.bar_height,
                             .face = colors::black,
                             .edge = colors::black,
                             .edge_width_pt = 0},
                   11);
        }
        double div_x = bar.x_at(i + 1);
        ax.add(black_line({div_x, bar.start_y}, {div_x, bar.start_y + bar.bar_height}), 12);
    }
}

void add_ticks_and_labels(Axes& ax, const BarFrame& bar) {
    double top = bar.start_y + bar.bar_height;
    for (int i = 0; i <= total_steps; ++i) {
        double tick_x = bar.x_at(i);
        ax.add(black_line({tick_x, top}, {tick_x, top + bar.tick_h()}), 12);
        int val = std::abs((i - num_steps_left) * bar.step);
        ax.add(bar_label(std::to_string(val), {tick_x, bar.label_y()}, HAlign::center), 13);
    }
    double end_tick_x = bar.x_at(total_steps);
    ax.add(bar_label("m", {end_tick_x + bar.view_w * 0.01, bar.label_y()}, HAlign::left), 13);
}

}  // namespace

int scale_bar_step(int scale) {
    double target_world_m = (target_paper_mm * scale) / 1000;
    double approx_step = target_world_m / total_steps;
    if (approx_step > 100) {
        // Halves go to the even hundred, as in the default rounding mode.
        return static_cast<int>(std::nearbyint(approx_step / 100)) * 100;
    }
    int step = nice_steps.front();
    for (int candidate : nice_steps) {
        if (std::abs(candidate - approx_step) < std::abs(step - approx_step))
            step = candidate;
    }
    return step;
}

void add_scale_bar(Axes& ax, int scale) {
    BarFrame bar = place_bar(ax, scale);
    add_segments(ax, bar);
    add_ticks_and_labels(ax, bar);
}

}  // namespace plots
