// kavara-bench-gzip: what gzip costs on real tiles. Builds the 3x3 tiles around a layer's
// estimated centre at each zoom given, as the tile route builds them, then compresses each at
// several levels, with the server's compressor (libdeflate) and with zlib beside it; prints per
// zoom the median build time and, per compressor and level, the bytes and the median over the
// tiles of the best of five times to compress one.
//   kavara-bench-gzip LAYER Z [Z...]   (DATABASE_URL selects the database)
#include "bench_support.hpp"
#include "tileway/tile_builder.hpp"
#include "tileway/tile_encoding.hpp"
#include "tileway/tile_grid.hpp"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr int kRepeats = 5;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

double elapsed_ms(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// zlib's deflate at `level`, with its own two-byte header instead of gzip's ten: the same work.
std::size_t zlib_size(const std::string& raw, int level) {
    std::string out(compressBound(static_cast<uLong>(raw.size())), '\0');
    auto size = static_cast<uLongf>(out.size());
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()),
                  level) != Z_OK)
        throw std::runtime_error("zlib failed");
    return size;
}

struct Compressor {
    const char* name;
    int level;
    std::function<std::size_t(const std::string&)> compress;  // -> compressed bytes
};

std::vector<Compressor> compressors() {
    std::vector<Compressor> all;
    for (int level : {1, 4, 6, 9})
        all.push_back({"libdeflate", level, [level](const std::string& raw) {
                           return tileway::gzip_bytes(raw, level).size();
                       }});
    for (int level : {1, 6})
        all.push_back(
            {"zlib", level, [level](const std::string& raw) { return zlib_size(raw, level); }});
    return all;
}

void report(const std::vector<std::string>& tiles, std::size_t raw_bytes, const Compressor& c) {
    std::size_t bytes = 0;
    std::vector<double> ms;
    for (const auto& raw : tiles) {
        double best = 1e9;
        for (int i = 0; i < kRepeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const std::size_t size = c.compress(raw);
            best = std::min(best, elapsed_ms(start));
            if (i == 0)
                bytes += size;
        }
        ms.push_back(best);
    }
    std::printf("  %-10s %d: %9zu bytes a tile (%4.1f %% of raw), %7.2f ms a tile\n", c.name,
                c.level, bytes / tiles.size(),
                100.0 * static_cast<double>(bytes) / static_cast<double>(raw_bytes),
                median(std::move(ms)));
}

host::awaitable<void> measure_gzip(std::string layer, std::vector<int> zooms) {
    auto db = host::database::get_db();
    const auto [lat, lon] = co_await bench::layer_centre(*db, tileway::LAYER_CONFIG.at(layer));
    std::printf("layer %s, centre %.5f %.5f, 3x3 tiles a zoom\n", layer.c_str(), lat, lon);
    for (int z : zooms) {
        const auto centre = tileway::latlon_to_xyz(lat, lon, z);
        std::vector<std::string> tiles;
        std::vector<double> build_ms;
        std::size_t raw_bytes = 0;
        for (int dx = -1; dx <= 1; ++dx) {
            for (int dy = -1; dy <= 1; ++dy) {
                const auto start = std::chrono::steady_clock::now();
                auto tile =
                    co_await tileway::build_tile(*db, layer, {z, centre.x + dx, centre.y + dy});
                build_ms.push_back(std::chrono::duration<double, std::milli>(
                                       std::chrono::steady_clock::now() - start)
                                       .count());
                if (tile && !tile->empty()) {
                    tiles.emplace_back(tile->view());
                    raw_bytes += tiles.back().size();
                }
            }
        }
        if (tiles.empty()) {
            std::printf("z%d: no tiles\n", z);
            continue;
        }
        std::printf("z%d: %zu tiles, %zu raw bytes a tile, built in %.1f ms (median)\n", z,
                    tiles.size(), raw_bytes / tiles.size(), median(build_ms));
        for (const auto& compressor : compressors())
            report(tiles, raw_bytes, compressor);
    }
    co_await db->close();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: kavara-bench-gzip LAYER Z [Z...]\n";
        return 2;
    }
    std::vector<int> zooms;
    for (int i = 2; i < argc; ++i)
        zooms.push_back(std::atoi(argv[i]));
    return bench::run("kavara-bench-gzip", measure_gzip(argv[1], zooms));
}
