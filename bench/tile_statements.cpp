// kavara-bench-tiles: times the tile statement of a layer in PostgreSQL for the 3x3 tiles around
// the layer's estimated centre at each zoom given, through the same session layer as the server.
//   kavara-bench-tiles LAYER Z [Z...]   (DATABASE_URL selects the database)
//   kavara-bench-tiles --sql LAYER Z    prints the tile statement, its bounds as :min_x ... :max_y
#include "bench_support.hpp"
#include "tileway/mvt_sql.hpp"
#include "tileway/tile_grid.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string_view>
#include <vector>

namespace {

host::awaitable<void> time_statements(std::string layer, std::vector<int> zooms) {
    const auto& config = tileway::LAYER_CONFIG.at(layer);
    auto db = host::database::get_db();
    const auto [lat, lon] = co_await bench::layer_centre(*db, config);
    std::printf("layer %s, centre %.5f %.5f\n", layer.c_str(), lat, lon);
    std::printf("%4s %8s %10s %10s %10s\n", "z", "tiles", "median ms", "max ms", "avg bytes");
    for (int z : zooms) {
        const auto& sql = tileway::mvt_sql_for_tile(layer, z).first;
        auto tile = tileway::latlon_to_xyz(lat, lon, z);
        std::vector<double> ms;
        std::size_t bytes = 0;
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                auto b = tileway::xyz_to_bbox_web_mercator(z, tile.x + dx, tile.y + dy);
                host::database::Params params{
                    {"min_x", b.minx}, {"min_y", b.miny}, {"max_x", b.maxx}, {"max_y", b.maxy}};
                auto start = std::chrono::steady_clock::now();
                auto result = co_await db->execute(sql, params);
                ms.push_back(std::chrono::duration<double, std::milli>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
                if (auto v = result.scalar_one_or_none())
                    bytes += v->bytes().size();
            }
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%4d %8zu %10.1f %10.1f %10zu\n", z, ms.size(), ms[ms.size() / 2], ms.back(),
                    bytes / ms.size());
    }
    co_await db->close();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: kavara-bench-tiles LAYER Z [Z...] | --sql LAYER Z\n";
        return 2;
    }
    if (std::string_view(argv[1]) == "--sql" && argc == 4) {
        std::cout << tileway::generate_mvt_sql(argv[2], std::atoi(argv[3])).first << "\n";
        return 0;
    }
    std::vector<int> zooms;
    for (int i = 2; i < argc; ++i)
        zooms.push_back(std::atoi(argv[i]));
    return bench::run("kavara-bench-tiles", time_statements(argv[1], zooms));
}
