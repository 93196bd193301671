#pragma once

// The scratch servers of the fault tests: a PostgreSQL cluster of their own, which they stop,
// restart and lock without disturbing the shared database.

#include "harness.hpp"
#include "scratch_postgres.hpp"

namespace kavara::test::tileway {

// The cluster of this test program, with the schema and 200 plots seeded at first use.
ScratchPostgres& program_cluster();

// The tile service of this program, loaded against program_cluster() and program_redis().
host::http::App& load_faults_app();

}  // namespace kavara::test::tileway
