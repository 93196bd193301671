#pragma once

#include "tileway/tile_grid.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tileway {

// The key families of the tile cache. Keys are relative to the cache namespace ("mvt_v8"); the
// cache prefixes them with "{namespace}:".
//
//   z/x/y tile        "{layer}:{z}:{x}:{y}"                         plots:14:8801:7940
//   bounding box      "bbox:{layer}:{minx}:{miny}:{maxx}:{maxy}:{max_features}:{simplified}"
//   layer centroid    "centroid:{layer}"
//   gzip entry        "gz:" and the key of a z/x/y or bounding-box tile (tile_encoding.hpp)
//
// Invalidating one layer deletes the keys that begin with the layer's name, that is its z/x/y
// tiles only, and their gzip entries: its bounding-box tiles and its centroid keep their own
// expiry. Invalidating everything deletes the whole namespace.

std::string tile_cache_key(std::string_view layer_name, std::int64_t z, std::int64_t x,
                           std::int64_t y);

// Appends every key the cache may hold for z/x/y tile `tile` of the layer: what purging a tile
// deletes. A new family of per-tile entries is added here, and every purge follows.
void append_tile_keys(std::vector<std::string>& keys, std::string_view layer_name,
                      const TileAddress& tile);

// Coordinates in EPSG:3857 metres, written in full as whole metres (halves to even, "-0" kept).
// `simplified` ("True" or "False") says whether the tile's geometries were simplified: the
// decision the endpoint took, not the request's flag. The key has to tell apart tiles that were
// built differently, and the flag does not decide that (EPSG:3857 boxes, and EPSG:4326 boxes of
// at most 0.01 square degrees, are never simplified), while an EPSG:3857 request can round to
// the rectangle of a large, simplified EPSG:4326 one. Writing the decision keeps the key's form,
// so entries written under the flag simply expire, and requests that build the same tile share
// its entry whatever their flag says.
std::string bbox_cache_key(std::string_view layer_name, double min_x, double min_y, double max_x,
                           double max_y, std::int64_t max_features, bool simplified);

std::string centroid_cache_key(std::string_view layer_name);

// SCAN patterns over full keys ("{namespace}:..."): one layer's z/x/y tiles, the same and their
// gzip entries, one caller-given pattern, the whole namespace.
std::string layer_invalidation_pattern(std::string_view key_namespace, std::string_view layer_name);
std::vector<std::string> layer_invalidation_patterns(std::string_view key_namespace,
                                                     std::string_view layer_name);
std::string namespaced_pattern(std::string_view key_namespace, std::string_view pattern);
std::string namespace_pattern(std::string_view key_namespace);

}  // namespace tileway
