#include "tileway/tile_encoding.hpp"

#include <libdeflate.h>

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace tileway {
namespace {

// The level of the gzip copies. A miss pays for the compression on the cores the database
// needs; at this level it costs a few per cent of building the tile, and the higher levels save
// only a few per cent of the bytes for several times the work (kavara-bench-gzip).
constexpr int kTileGzipLevel = 1;

// CRC-32 and Adler-32 side by side: 64 bits keep two versions of a tile apart, and both run at
// several bytes a cycle (ten times a bytewise hash: a z16 tile in 3 microseconds, not 33), which
// a miss pays before its answer.
std::uint64_t content_hash(std::string_view bytes) {
    const std::uint64_t crc = libdeflate_crc32(0, bytes.data(), bytes.size());
    return crc << 32 | libdeflate_adler32(1, bytes.data(), bytes.size());
}

// One compressor per thread and level, kept: making one costs more than compressing a tile.
libdeflate_compressor& compressor(int level) {
    struct Free {
        void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    };
    thread_local std::array<std::unique_ptr<libdeflate_compressor, Free>, 13> compressors;
    if (level < 0 || level >= static_cast<int>(compressors.size()))
        throw std::invalid_argument("gzip: the level is 0 to 12");
    auto& kept = compressors[static_cast<std::size_t>(level)];
    if (!kept)
        kept.reset(libdeflate_alloc_compressor(level));
    if (!kept)
        throw std::runtime_error("gzip: no compressor");
    return *kept;
}

std::string gzip(std::string_view raw, std::size_t reserve_front, int level) {
    libdeflate_compressor& deflater = compressor(level);
    std::string out(reserve_front + libdeflate_gzip_compress_bound(&deflater, raw.size()), '\0');
    const std::size_t written = libdeflate_gzip_compress(
        &deflater, raw.data(), raw.size(), out.data() + reserve_front, out.size() - reserve_front);
    if (written == 0)
        throw std::runtime_error("gzip: the output did not fit its bound");
    out.resize(reserve_front + written);
    return out;
}

}  // namespace

std::string gzip_cache_key(std::string_view cache_key) {
    std::string key = "gz:";
    key.append(cache_key);
    return key;
}

std::string content_tag(std::string_view raw) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuv";
    std::uint64_t hash = content_hash(raw);
    std::string tag(kContentTagSize, '0');
    for (std::size_t i = kContentTagSize; i-- > 0; hash >>= 5)
        tag[i] = kDigits[hash & 31];
    return tag;
}

std::string gzip_bytes(std::string_view raw, int level) {
    return gzip(raw, 0, level);
}

host::Bytes gzip_entry(std::string_view raw) {
    std::string entry = gzip(raw, kContentTagSize, kTileGzipLevel);
    entry.replace(0, kContentTagSize, content_tag(raw));
    return host::Bytes(std::move(entry));
}

std::optional<GzipCopy> read_gzip_entry(const host::Bytes& entry) {
    // The gzip magic bytes follow the tag; anything else is not an entry of ours.
    const std::string_view view = entry.view();
    if (view.size() < kContentTagSize + 2 || view[kContentTagSize] != '\x1f' ||
        view[kContentTagSize + 1] != '\x8b')
        return std::nullopt;
    return GzipCopy{entry.slice(0, kContentTagSize), entry.slice(kContentTagSize)};
}

std::string identity_etag(std::string_view tag) {
    std::string etag;
    etag.reserve(tag.size() + 2);
    etag.append("\"").append(tag).append("\"");
    return etag;
}

std::string gzip_etag(std::string_view tag) {
    std::string etag;
    etag.reserve(tag.size() + 5);
    etag.append("\"").append(tag).append("-gz\"");
    return etag;
}

}  // namespace tileway
