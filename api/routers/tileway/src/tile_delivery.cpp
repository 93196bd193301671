#include "tile_delivery.hpp"

#include "failures.hpp"
#include "host/negotiation.hpp"
#include "tile_query.hpp"
#include "tileway/tile_encoding.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

// Works the gzip entry out for a tile cached without one.
TileBody complete_entry(const Service& service, const std::string& cache_key,
                        const host::Bytes& raw, bool gzip, std::int64_t ttl) {
    const host::Bytes entry = gzip_entry(raw.view());
    service.cache_set_in_background(gzip_cache_key(cache_key), entry, ttl);
    service.kept_tiles().set_tag(service.cache()._make_key(cache_key),
                                 entry.slice(0, kContentTagSize));
    return tile_body(raw, entry, gzip);
}

}  // namespace

TileBody tile_body(const host::Bytes& raw, const host::Bytes& entry, bool gzip) {
    const std::string_view tag = entry.view().substr(0, kContentTagSize);
    if (gzip)
        return {entry.slice(kContentTagSize), gzip_etag(tag), true};
    return {raw, identity_etag(tag), false};
}

host::awaitable<std::optional<TileBody>> cached_tile_body(const Service& service,
                                                          const std::string& cache_key,
                                                          CachedRead& read, bool gzip,
                                                          std::int64_t ttl) {
    if (gzip) {
        if (read.value) {
            if (auto copy = read_gzip_entry(*read.value))
                co_return TileBody{std::move(copy->body), gzip_etag(copy->tag.view()), true};
        }
        read.value = co_await service.safe_cache_get(cache_key, 1.0);
    }
    if (!read.value || read.value->empty())
        co_return std::nullopt;
    if (gzip || read.tag.empty())
        co_return complete_entry(service, cache_key, *read.value, gzip, ttl);
    co_return TileBody{std::move(*read.value), identity_etag(read.tag.view()), false};
}

host::awaitable<CachedRead> read_cached_tile(const Service& service, const std::string& cache_key,
                                             double timeout, bool gzip, const RedisBudget* budget) {
    const std::string gzip_key = gzip_cache_key(cache_key);
    CachedRead read;
    if (gzip) {
        read.value = co_await service.safe_cache_get(gzip_key, timeout, budget);
        co_return read;
    }
    read.value = co_await service.safe_cache_get(cache_key, timeout, budget);
    if (!read.value || read.value->empty())
        co_return read;
    try {
        const std::string full_key = service.cache()._make_key(gzip_key);
        const std::vector<std::string_view> command{"GETRANGE", full_key, "0", kContentTagEnd};
        auto limit = host::seconds_to_duration(timeout);
        if (budget)
            limit = budget->next_wait(limit);
        auto reply = co_await host::wait_for(service.redis_client().command(command), limit);
        read.tag = content_tag_in(reply);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        service.logger()->warn("Cache get failed for {}: {}", gzip_key, e.what());
    }
    co_return read;
}

TileBody store_built_tile(const Service& service, const std::string& cache_key,
                          const host::Bytes& raw, bool gzip, std::int64_t ttl) {
    service.cache_set_in_background(cache_key, raw, ttl);
    if (gzip) {
        const host::Bytes entry = gzip_entry(raw.view());
        service.cache_set_in_background(gzip_cache_key(cache_key), entry, ttl);
        return tile_body(raw, entry, true);
    }
    // The gzip copy waits for the first hit: a miss answered raw costs no compression, and a
    // tile nobody asks for again is never compressed.
    return {raw, identity_etag(content_tag(raw.view())), false};
}

host::http::Response tile_answer(const host::http::Request& request, TileBody tile,
                                 std::optional<std::int64_t> max_age, const char* x_cache) {
    host::http::Headers headers;
    headers.reserve(5);
    if (max_age)
        headers.emplace_back("Cache-Control", fmt::format("public, max-age={}", *max_age));
    if (x_cache)
        headers.emplace_back("X-Cache", x_cache);
    headers.emplace_back("Vary", "Accept-Encoding");
    if (tile.gzip)
        headers.emplace_back("Content-Encoding", "gzip");
    const bool held = host::http::matches_entity_tag(request.header("if-none-match"), tile.etag);
    headers.emplace_back("ETag", std::move(tile.etag));
    if (held) {
        host::http::Response not_modified = host::http::empty_response(304);
        not_modified.headers = std::move(headers);
        return not_modified;
    }
    return host::http::raw_response(std::move(tile.body), kMvtMediaType, std::move(headers));
}

}  // namespace tileway
