#pragma once

#include "cadastre.hpp"
#include "database.hpp"
#include "progress.hpp"
#include "projection.hpp"

#include <cstdint>

namespace seed {

// Replaces the contents of every table of the "GIS" schema with `cadastre` in one transaction:
// the schema is applied first (it is idempotent), the tables are truncated, their GiST indexes
// dropped, the rows streamed with COPY, the indexes rebuilt; then every table is analysed so that
// the planner's extent estimates exist. `to_web_mercator` takes EPSG:26332 to EPSG:3857;
// `seed` draws the beacons' condition notes.
void load_cadastre(Connection& db, const Cadastre& cadastre, const Projection& to_web_mercator,
                   std::uint64_t seed, Progress& progress);

}  // namespace seed
