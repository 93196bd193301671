#include "scratch_postgres.hpp"

#include <cstdlib>
#include <stdexcept>

namespace kavara::test {

ScratchPostgres::ScratchPostgres()
    : port_(free_port()),
      url_("postgresql://postgres@127.0.0.1:" + std::to_string(port_) + "/kavara") {
    char pattern[] = "/tmp/kavara-pg-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    // The server runs as a system user of its own, which must reach the cluster below.
    std::filesystem::permissions(dir_, std::filesystem::perms(0755));
    start();
}

ScratchPostgres::~ScratchPostgres() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ScratchPostgres::start() {
    auto result = services("pg-start");
    if (result.status != 0)
        throw std::runtime_error("scratch PostgreSQL: " + result.out);
}

void ScratchPostgres::stop() {
    services("pg-stop");
}

CommandResult ScratchPostgres::services(const std::string& command) const {
    // The Redis port is named only so that nothing here could reach the shared Redis.
    return shell("KAVARA_STATE_DIR=" + dir_.string() + " KAVARA_PG_PORT=" + std::to_string(port_) +
                 " KAVARA_REDIS_PORT=" + std::to_string(free_port()) + " " +
                 (source_dir() / "scripts/services").string() + " " + command + " 2>&1");
}

}  // namespace kavara::test
