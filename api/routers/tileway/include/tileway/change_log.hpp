#pragma once

#include "host/runtime.hpp"
#include "tileway/cache.hpp"
#include "tileway/tile_cover.hpp"
#include "tileway/tile_grid.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

namespace tileway {

// One row of the database's change log (kavara.changes): a row of a layer table was inserted
// (no old extent), updated or deleted (no new extent). Extents are in EPSG:3857 metres.
struct ChangeRecord {
    std::int64_t id = 0;
    std::string layer;
    std::optional<TileBounds> old_extent;
    std::optional<TileBounds> new_extent;
};

// The z/x/y tiles a set of changes made stale: for each change, the tiles of its layer covering
// its old and its new extent, each widened by the clipping buffer of the zoom, at every zoom the
// layer is served. A tile shared by several changes is purged once; the cover of a vast extent
// (an administrative area at the deepest zooms) is walked batch by batch rather than listed.
class ChangedTiles {
  public:
    // Changes of a layer missing from the catalogue have no tiles and are ignored.
    void add(const ChangeRecord& change);
    // Deletes the keys of every tile added; returns how many existed. Redis failures reach
    // the caller, and purging again is harmless.
    host::awaitable<std::int64_t> purge(const BinaryRedisCache& cache);

  private:
    void add_extent(const std::string& layer, const TileBounds& extent);

    std::unordered_set<std::string> listed_;
    std::vector<LayerTileCover> large_;
};

// The event a client is sent for a change: {"layer", "extent": [west, south, east, north]}, the
// extent covering the old and the new geometry in EPSG:4326 degrees.
nlohmann::ordered_json change_event(const ChangeRecord& change);

}  // namespace tileway
