// Where the time of one site plan goes: composing the artists, drawing them into the 300 dpi
// raster, encoding the PNG (with the encoder settings worth comparing) and the base64 text.
#include <plots/plot.hpp>
#include <plots/render.hpp>
#include <plots/setup.hpp>

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using plots::Json;

const std::vector<std::string> plan_names = {"small_residential", "large_irregular",
                                             "crossed_by_road", "neighbours_all_sides"};

const Json& plan_input(std::size_t index) {
    static const std::vector<Json> inputs = [] {
        std::vector<Json> loaded;
        for (const auto& name : plan_names) {
            std::ifstream in(std::string(KAVARA_SOURCE_DIR) + "/tests/data/plans/" + name +
                             ".json");
            loaded.push_back(Json::parse(in));
        }
        return loaded;
    }();
    return inputs.at(index);
}

plots::Plan compose(std::size_t index) {
    const Json& input = plan_input(index);
    return plots::compose_plot(input["parcel_data"], input["selected_parcel_number"],
                               input["road_data"]);
}

void label_plan(benchmark::State& state) {
    state.SetLabel(plan_names.at(static_cast<std::size_t>(state.range(0))));
}

void BM_GeneratePlot(benchmark::State& state) {
    const Json& input = plan_input(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto result = plots::generate_plot(input["parcel_data"], input["selected_parcel_number"],
                                           input["road_data"]);
        benchmark::DoNotOptimize(result.image64.data());
    }
    label_plan(state);
}
BENCHMARK(BM_GeneratePlot)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_ComposePlot(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(compose(static_cast<std::size_t>(state.range(0))).scale);
    label_plan(state);
}
BENCHMARK(BM_ComposePlot)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

void BM_DrawRaster(benchmark::State& state) {
    plots::Plan plan = compose(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(plots::render_raster(plan.figure).width());
    label_plan(state);
}
BENCHMARK(BM_DrawRaster)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

// Arguments: plan, filter (PngFilter), zlib level, strategy (ZlibStrategy). The counter "bytes"
// is the PNG's size, so speed and size can be weighed together.
void BM_EncodePng(benchmark::State& state) {
    plots::Raster raster =
        plots::render_raster(compose(static_cast<std::size_t>(state.range(0))).figure);
    plots::PngSettings settings{.filter = static_cast<plots::PngFilter>(state.range(1)),
                                .zlib_level = static_cast<int>(state.range(2)),
                                .strategy = static_cast<plots::ZlibStrategy>(state.range(3))};
    std::size_t bytes = 0;
    for (auto _ : state)
        bytes = plots::encode_png(raster, settings).size();
    state.counters["bytes"] = static_cast<double>(bytes);
    label_plan(state);
}
BENCHMARK(BM_EncodePng)
    ->ArgsProduct({{0, 1}, {0, 1, 2, 4}, {1, 2, 3, 6}, {0, 2}})
    ->Args({1, 4, 6, 1})
    ->Unit(benchmark::kMillisecond);

void BM_Base64(benchmark::State& state) {
    std::string png = plots::encode_png(compose(1).figure);
    for (auto _ : state)
        benchmark::DoNotOptimize(plots::base64_encode(png).size());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * png.size()));
}
BENCHMARK(BM_Base64)->Unit(benchmark::kMillisecond);

void BM_RenderPdf(benchmark::State& state) {
    plots::Plan plan = compose(1);
    for (auto _ : state)
        benchmark::DoNotOptimize(plots::render_pdf(plan.figure).size());
}
BENCHMARK(BM_RenderPdf)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The renderer writes its scale line to standard output once per plan; the results go to
    // standard error so that they are not buried under those lines.
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    plots::load();
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}
