#pragma once

#include "host/bytes.hpp"
#include "host/redis.hpp"
#include "host/runtime.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tileway {

// The namespace of the service's cache: every key the tile routes store begins "mvt_v8:".
inline constexpr std::string_view kTileCacheNamespace = "mvt_v8";

// Simple Redis cache for binary MVT tiles without UTF-8 decoding. Keys are namespaced
// "{namespace}:{key}"; values are stored and returned as raw bytes. Its operations hand every
// failure on to the caller.
class BinaryRedisCache {
  public:
    BinaryRedisCache(host::redis::Client& redis_client, std::string key_namespace = "mvt")
        : redis_(redis_client), namespace_(std::move(key_namespace)) {}

    host::redis::Client& redis() const noexcept { return redis_; }
    const std::string& key_namespace() const noexcept { return namespace_; }

    // Create namespaced key.
    std::string _make_key(std::string_view key) const;
    // Get binary data from cache: the stored bytes, or null when the key does not exist.
    host::awaitable<std::optional<host::Bytes>> get(std::string_view key) const;
    // Set binary data in cache with TTL.
    host::awaitable<void> set(std::string_view key, host::Bytes value,
                              std::int64_t ttl = 3600) const;
    // Delete key from cache.
    host::awaitable<void> del(std::string_view key) const;

  private:
    host::redis::Client& redis_;
    std::string namespace_;
};

}  // namespace tileway
