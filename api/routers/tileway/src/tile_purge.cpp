#include "tileway/tile_purge.hpp"

#include <algorithm>
#include <string_view>

namespace tileway {
namespace {

// A DEL of this many keys takes Redis well under a millisecond.
constexpr std::size_t kKeysPerCommand = 512;

host::awaitable<std::int64_t> delete_batch(const BinaryRedisCache& cache,
                                           std::vector<std::string>::const_iterator first,
                                           std::vector<std::string>::const_iterator last) {
    std::vector<std::string> full_keys;
    full_keys.reserve(static_cast<std::size_t>(last - first));
    for (auto key = first; key != last; ++key)
        full_keys.push_back(cache._make_key(*key));
    std::vector<std::string_view> command{"DEL"};
    command.insert(command.end(), full_keys.begin(), full_keys.end());
    const auto reply = co_await cache.redis().command(command);
    co_return reply.integer;
}

}  // namespace

host::awaitable<std::int64_t> delete_cache_keys(const BinaryRedisCache& cache,
                                                const std::vector<std::string>& keys) {
    std::int64_t deleted = 0;
    for (auto first = keys.begin(); first != keys.end();) {
        const auto last =
            first + static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                        kKeysPerCommand, static_cast<std::size_t>(keys.end() - first)));
        deleted += co_await delete_batch(cache, first, last);
        first = last;
    }
    co_return deleted;
}

host::awaitable<std::int64_t> purge_tile_cover(const BinaryRedisCache& cache,
                                               LayerTileCover& cover) {
    std::int64_t deleted = 0;
    std::vector<std::string> keys;
    while (cover.next_keys(keys, kKeysPerCommand) > 0) {
        deleted += co_await delete_batch(cache, keys.begin(), keys.end());
        keys.clear();
    }
    co_return deleted;
}

}  // namespace tileway
