#include "tileway/cache.hpp"

namespace tileway {

std::string BinaryRedisCache::_make_key(std::string_view key) const {
    std::string full;
    full.reserve(namespace_.size() + 1 + key.size());
    full.append(namespace_).append(":").append(key);
    return full;
}

host::awaitable<std::optional<host::Bytes>> BinaryRedisCache::get(std::string_view key) const {
    const std::string full = _make_key(key);
    co_return co_await redis_.get(full);
}

host::awaitable<void> BinaryRedisCache::set(std::string_view key, host::Bytes value,
                                            std::int64_t ttl) const {
    const std::string full = _make_key(key);
    co_await redis_.set(full, value.view(), ttl);
}

host::awaitable<void> BinaryRedisCache::del(std::string_view key) const {
    const std::string full = _make_key(key);
    co_await redis_.del(full);
}

}  // namespace tileway
