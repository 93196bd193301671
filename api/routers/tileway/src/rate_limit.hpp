#pragma once

#include "host/http.hpp"
#include "host/runtime.hpp"
#include "tileway/service.hpp"

#include <cstdint>
#include <string>

namespace tileway {

// A fixed one-second window per client address, counted in Redis.
struct RateLimit {
    const char* key_prefix;  // "rate_limit:gis:" or "rate_limit:gis:bbox:"
    std::int64_t limit;      // requests allowed per window
    const char* detail;      // the 429 detail
    bool log_failures;       // warn when Redis fails (the check is skipped either way)
};

inline constexpr RateLimit kTileRateLimit{"rate_limit:gis:", 40,
                                          "Too many map requests. Please slow down panning.", true};
inline constexpr RateLimit kBboxRateLimit{"rate_limit:gis:bbox:", 20, "Too many bbox requests.",
                                          false};

// The client address of a request, or "unknown" when the transport gave none.
std::string client_ip(const host::http::Request& request);

// Counts the request (the service's RequestCounter) and throws HTTPException 429 when the
// client is over its limit. Redis failures skip the check.
host::awaitable<void> enforce_rate_limit(const Service& service, const host::http::Request& request,
                                         const RateLimit& rule);

}  // namespace tileway
