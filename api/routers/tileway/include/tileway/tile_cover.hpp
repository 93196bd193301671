#pragma once

#include "tileway/tile_grid.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tileway {

// The tiles of one layer that touch an extent over a range of zoom levels, handed out one at a
// time (zoom by zoom, then column by column, row by row) so that a large range never becomes a
// list. Only zooms at which the tile route serves the layer are covered (from 1 to MAX_ZOOM and
// at least the layer's minimum zoom), since the cache never holds a tile of any other.
//
// This is the one place that turns a layer and an extent into tile cache keys: seeding, purging
// and invalidating an edited area all walk the same cover.
//
// With Margin::clipping_buffer the extent is widened at each zoom by that zoom's clipping buffer
// (the band's `buffer` in tile-extent units of 4096): the tiles a geometry inside the extent can
// be drawn in, which is what an edit of that geometry makes stale.
enum class Margin { none, clipping_buffer };

class LayerTileCover {
  public:
    // `extent` is in EPSG:3857 metres (web_mercator_bounds converts longitudes and latitudes).
    // Throws ValueError for a layer missing from the catalogue.
    LayerTileCover(std::string_view layer_name, const TileBounds& extent, std::int64_t min_zoom,
                   std::int64_t max_zoom, Margin margin = Margin::none);

    const std::string& layer_name() const noexcept { return layer_; }
    // How many tiles the cover holds in all, handed out or not.
    std::int64_t size() const noexcept { return size_; }

    // The next tile, or null when every tile has been handed out.
    std::optional<TileAddress> next();
    // Appends the cache keys (as append_tile_keys lists them) of at most `most` next tiles to
    // `keys`; returns how many tiles it took, 0 once the cover is used up.
    std::size_t next_keys(std::vector<std::string>& keys, std::size_t most);

  private:
    bool enter_next_zoom();
    // The tiles of zoom z the cover holds; empty where the layer is not served.
    TileRange range_at(std::int64_t z) const;

    std::string layer_;
    TileBounds extent_;
    Margin margin_;
    std::int64_t max_zoom_;
    std::int64_t size_ = 0;
    TileRange range_;  // of the zoom being walked
    std::int64_t x_ = 0, y_ = 0;
};

// `extent` widened by the clipping buffer of the layer's band at zoom z (EPSG:3857 metres); the
// extent unchanged where the layer is not served.
TileBounds buffered_extent(std::string_view layer_name, const TileBounds& extent, std::int64_t z);

// A rectangle of WGS84 longitudes and latitudes (degrees) in EPSG:3857 metres, as
// wgs84_to_web_mercator gives it, with latitudes beyond the grid's +-85.0511 degrees clamped to
// its edge.
TileBounds web_mercator_bounds(double min_lon, double min_lat, double max_lon, double max_lat);

}  // namespace tileway
