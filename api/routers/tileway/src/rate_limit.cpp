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
        const std::vector<std::vector<std::string_view>> commands{{"INCR", rate_key},
                                                                  {"EXPIRE", rate_key, "1", "NX"}};
        auto replies = co_await service.redis_client().transaction(commands);
        if (replies.empty() || replies[0].type != host::redis::Reply::Type::integer)
            throw host::redis::RedisError("unexpected reply to INCR");
        request_count = replies[0].integer;
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
