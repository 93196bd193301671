#pragma once

// How a tile goes to one client: gzip-compressed when the client takes it, with the strong
// entity tag of what is sent, and 304 without a body when the client already holds it.

#include "host/bytes.hpp"
#include "host/http.hpp"
#include "host/runtime.hpp"
#include "rate_limit.hpp"
#include "tileway/service.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace tileway {

struct TileBody {
    host::Bytes body;
    std::string etag;
    bool gzip = false;
};

// The body for this client from the raw tile and its gzip entry (see tile_encoding.hpp).
TileBody tile_body(const host::Bytes& raw, const host::Bytes& entry, bool gzip);

// The cached tile for this client, from what was read under the tile's key (`read`: the gzip
// entry for a gzip client, else the raw tile with its tag); null on a miss. A tile cached without
// its gzip entry gets one now, stored in the background with `ttl`; a gzip client whose entry is
// missing costs one more read, of the raw tile.
host::awaitable<std::optional<TileBody>> cached_tile_body(const Service& service,
                                                          const std::string& cache_key,
                                                          CachedRead& read, bool gzip,
                                                          std::int64_t ttl);

// Reads what cached_tile_body needs for this client, each read bounded by `timeout` and, with
// `budget`, by what is left of it.
host::awaitable<CachedRead> read_cached_tile(const Service& service, const std::string& cache_key,
                                             double timeout, bool gzip,
                                             const RedisBudget* budget = nullptr);

// Stores a built tile in the background with `ttl`, and its gzip entry when the client takes gzip
// (else the first hit adds it: see cached_tile_body); the body for the client.
TileBody store_built_tile(const Service& service, const std::string& cache_key,
                          const host::Bytes& raw, bool gzip, std::int64_t ttl);

// 200 with the body, or 304 when If-None-Match names its tag; `cache_headers` go on both.
host::http::Response tile_answer(const host::http::Request& request, TileBody tile,
                                 std::optional<std::int64_t> max_age, const char* x_cache);

}  // namespace tileway
