#include "scratch_servers.hpp"

#include <stdexcept>

namespace kavara::test::tileway {
namespace {

void seed_plots(const std::string& url, int plots) {
    const auto seed = shell((binary_dir() / "bin" / "kavara-seed").string() + " --plots " +
                            std::to_string(plots) + " --database-url '" + url + "' 2>&1");
    if (seed.status != 0)
        throw std::runtime_error("kavara-seed failed:\n" + seed.out);
}

}  // namespace

ScratchPostgres& program_cluster() {
    static ScratchPostgres& seeded = []() -> ScratchPostgres& {
        static ScratchPostgres cluster;
        seed_plots(cluster.url(), 200);
        return cluster;
    }();
    return seeded;
}

host::http::App& load_faults_app() {
    return load_app({program_redis().port(), program_cluster().url()});
}

}  // namespace kavara::test::tileway
