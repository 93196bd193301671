#include "seed_database.hpp"

#include <stdexcept>

namespace kavara::test::seed {

CommandResult run_seed(const std::string& arguments) {
    const auto tool = binary_dir() / "bin" / "kavara-seed";
    return shell(tool.string() + " " + arguments + " 2>&1");
}

CommandResult seed_into(const ScratchDatabase& db, std::uint32_t plots, std::uint64_t seed) {
    return run_seed("--plots " + std::to_string(plots) + " --seed " + std::to_string(seed) +
                    " --database-url '" + db.url() + "'");
}

namespace {

struct Seeded {
    Seeded() : db("invariants"), run(seed_into(db, seeded_plots, default_seed)) {
        if (run.status != 0)
            throw std::runtime_error("kavara-seed failed:\n" + run.out);
    }
    ScratchDatabase db;
    CommandResult run;
};

const Seeded& seeded_once() {
    static const Seeded instance;
    return instance;
}

}  // namespace

const ScratchDatabase& seeded() {
    return seeded_once().db;
}
const CommandResult& seeded_run() {
    return seeded_once().run;
}

}  // namespace kavara::test::seed
