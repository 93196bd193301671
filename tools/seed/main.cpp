// kavara-seed: fills the "GIS" schema with a deterministic synthetic cadastral area.
#include "area.hpp"
#include "database.hpp"
#include "load.hpp"
#include "options.hpp"
#include "progress.hpp"
#include "projection.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

// The middle of the area, in degrees: central Nigeria, in UTM zone 32N.
constexpr seed::Point area_centre{7.45, 9.05};

int run(const seed::Options& options) {
    seed::Progress progress;
    seed::Connection db(options.database_url);
    std::printf("kavara-seed: %u plots, seed %llu, into %s\n", options.plots,
                static_cast<unsigned long long>(options.seed), db.describe().c_str());
    const seed::Projection to_utm("EPSG:4326", "EPSG:26332");
    const seed::Projection to_web_mercator("EPSG:26332", "EPSG:3857");
    const seed::Cadastre cadastre =
        seed::generate_cadastre(options.plots, options.seed, to_utm(area_centre));
    progress.step("generated " + std::to_string(cadastre.plots.size()) + " plots, " +
                  std::to_string(cadastre.corners.size()) + " beacons, " +
                  std::to_string(cadastre.roads.size()) + " road features, " +
                  std::to_string(cadastre.zones.size()) + " zones, " +
                  std::to_string(cadastre.districts.size()) + " districts, " +
                  std::to_string(cadastre.lgas.size()) + " LGAs");
    seed::load_cadastre(db, cadastre, to_web_mercator, options.seed, progress);
    std::printf("kavara-seed: done in %.2f s\n", progress.elapsed());
    return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    seed::Options options;
    try {
        options = seed::parse_options(argc, argv, std::getenv("DATABASE_URL"));
    } catch (const seed::UsageError& e) {
        std::fprintf(stderr, "kavara-seed: %s\n\n%s", e.what(), seed::usage);
        return 2;
    }
    if (options.help) {
        std::fputs(seed::usage, stdout);
        return EXIT_SUCCESS;
    }
    try {
        return run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kavara-seed: %s\n", e.what());
        return EXIT_FAILURE;
    }
}
