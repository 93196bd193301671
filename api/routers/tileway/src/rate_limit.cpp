#include "rate_limit.hpp"

#include "failures.hpp"

namespace tileway {

std::string client_ip(const host::http::Request& request) {
    if (!request.client_host || request.client_host->empty())
        return "unknown";
    return *request.client_host;
}

host::awaitable<void> enforce_rate_limit(const Service& service, const host::http::Request& request,
                                         const RateLimit& rule) {
    const std::string rate_key = rule.key_prefix + client_ip(request);
    std::int64_t request_count = 0;
    try {
        request_count = co_await service.request_counter().count(rate_key);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        if (rule.log_failures)
            service.logger()->warn("Rate limit check failed: {}", e.what());
        co_return;
    }
    if (request_count > rule.limit)
        throw host::http::HTTPException(429, rule.detail);
}

}  // namespace tileway
