#pragma once

#include "host/bytes.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tileway {

// What a client is sent for a cached tile is worked out once per tile, when it is built or first
// read from the cache, and kept under a key of its own ("gz:" before the tile's key) with the
// tile's lifetime: a tag of the raw bytes (13 characters of a 64-bit content hash) followed by
// the gzip compression of those bytes. The raw bytes under the tile's own key stay as they are,
// for every other reader of the cache. A hit sends either copy without hashing or compressing.

inline constexpr std::size_t kContentTagSize = 13;
// The last byte of the tag, as GETRANGE names it.
inline constexpr const char* kContentTagEnd = "12";

// The key of the gzip copy of the tile cached under `cache_key`.
std::string gzip_cache_key(std::string_view cache_key);

// The content tag of raw tile bytes.
std::string content_tag(std::string_view raw);

// The gzip compression of `raw` at `level` (0 to 12, as libdeflate counts).
std::string gzip_bytes(std::string_view raw, int level);

// The entry kept under the gzip key for these raw bytes: tag, then gzip bytes.
// (What each zlib level costs on tiles: kavara-bench-gzip, figures in bench/README.md.)
host::Bytes gzip_entry(std::string_view raw);

// A gzip entry read back, sharing the entry's storage; null when it is not one.
struct GzipCopy {
    host::Bytes tag;
    host::Bytes body;
};
std::optional<GzipCopy> read_gzip_entry(const host::Bytes& entry);

// The strong entity tags of the two representations of one tile: they differ, because the
// bytes on the wire do.
std::string identity_etag(std::string_view tag);
std::string gzip_etag(std::string_view tag);

}  // namespace tileway
