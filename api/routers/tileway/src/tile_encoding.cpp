#include "tileway/tile_encoding.hpp"

#include <zlib.h>

#include <array>
#include <cstdint>
#include <stdexcept>

namespace tileway {
namespace {

// FNV-1a over the bytes: cheap, and 64 bits keep two versions of a tile apart.
std::uint64_t content_hash(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    return hash ^ bytes.size();
}

std::string gzip(std::string_view raw, std::size_t reserve_front) {
    z_stream stream{};
    // 15 window bits plus 16: a gzip header and trailer rather than zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK)
        throw std::runtime_error("gzip: deflateInit2 failed");
    std::string out(reserve_front + deflateBound(&stream, raw.size()), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data() + reserve_front);
    stream.avail_out = static_cast<uInt>(out.size() - reserve_front);
    const int status = deflate(&stream, Z_FINISH);
    const auto written = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        throw std::runtime_error("gzip: deflate did not finish");
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

host::Bytes gzip_entry(std::string_view raw) {
    std::string entry = gzip(raw, kContentTagSize);
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
