#pragma once

#include "host/bytes.hpp"
#include "host/http.hpp"
#include "host/runtime.hpp"
#include "redis_budget.hpp"
#include "tileway/service.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace tileway {

// A fixed one-second window per client address, counted in Redis.
struct RateLimit {
    const char* key_prefix;    // "rate_limit:gis:" or "rate_limit:gis:bbox:"
    std::int64_t limit;        // requests allowed per window
    const char* detail;        // the 429 detail
    bool log_failures;         // warn when Redis fails (the check is skipped either way)
    const char* metric_label;  // the limit's name among the refusals counted
};

inline constexpr RateLimit kTileRateLimit{
    "rate_limit:gis:", 40, "Too many map requests. Please slow down panning.", true, "tiles"};
inline constexpr RateLimit kBboxRateLimit{"rate_limit:gis:bbox:", 20, "Too many bbox requests.",
                                          false, "bbox"};

// The client address of a request, or "unknown" when the transport gave none.
std::string client_ip(const host::http::Request& request);

// Counts the request (the service's RequestCounter) and throws HTTPException 429 when the
// client is over its limit. Redis failures skip the check.
host::awaitable<void> enforce_rate_limit(const Service& service, const host::http::Request& request,
                                         const RateLimit& rule,
                                         const RedisBudget& budget = RedisBudget());

// A cached value, and the content tag kept beside it when one was asked for (empty when there
// is none yet).
struct CachedRead {
    std::optional<host::Bytes> value;
    host::Bytes tag;
};

// The content tag in a GETRANGE reply of a gzip entry's head; empty when the entry is missing.
host::Bytes content_tag_in(const host::redis::Reply& reply);

// The same check and the cache read of `cache_key` (at most `cache_timeout` seconds) written
// together: one round trip for both. With `read_tag`, the content tag at the head of the key's
// gzip entry is read in the same round trip. Throws HTTPException 429 when the client is over
// its limit (the cached bytes are then dropped unread); otherwise the cached bytes, or null on a
// miss or any failure. Each part fails open with the warning it logs on its own.
host::awaitable<CachedRead> enforce_rate_limit_and_read(
    const Service& service, const host::http::Request& request, const RateLimit& rule,
    const std::string& cache_key, double cache_timeout, const RedisBudget& budget, bool read_tag);

}  // namespace tileway
