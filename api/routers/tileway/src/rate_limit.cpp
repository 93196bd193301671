#include "rate_limit.hpp"

#include "failures.hpp"

namespace tileway {
namespace {

// The form of the counting commands; the first check of a process asks the server, within
// what the budget allows.
host::awaitable<CounterExpiry> counter_form(const Service& service, const RedisBudget& budget) {
    if (auto known = service.request_counter().known_form())
        co_return *known;
    const auto wait = budget.next_wait(host::seconds_to_duration(5.0));
    co_return co_await host::wait_for(service.request_counter().form(), wait);
}

void warn_rate_limit(const Service& service, const RateLimit& rule, const char* error) {
    if (rule.log_failures)
        service.logger()->warn("Rate limit check failed: {}", error);
}

void refuse_if_over(const RateLimit& rule, std::int64_t request_count) {
    if (request_count > rule.limit)
        throw host::http::HTTPException(429, rule.detail);
}

const char* what_of(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    }
}

}  // namespace

std::string client_ip(const host::http::Request& request) {
    if (!request.client_host || request.client_host->empty())
        return "unknown";
    return *request.client_host;
}

host::awaitable<void> enforce_rate_limit(const Service& service, const host::http::Request& request,
                                         const RateLimit& rule, const RedisBudget& budget) {
    const std::string rate_key = rule.key_prefix + client_ip(request);
    std::int64_t request_count = 0;
    try {
        const auto wait = budget.next_wait(host::seconds_to_duration(5.0));
        request_count = co_await host::wait_for(service.request_counter().count(rate_key), wait);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        warn_rate_limit(service, rule, e.what());
        co_return;
    }
    refuse_if_over(rule, request_count);
}

host::awaitable<std::optional<host::Bytes>> enforce_rate_limit_and_read(
    const Service& service, const host::http::Request& request, const RateLimit& rule,
    const std::string& cache_key, double cache_timeout, const RedisBudget& budget) {
    const std::string rate_key = rule.key_prefix + client_ip(request);
    const std::string full_key = service.cache()._make_key(cache_key);
    const std::vector<std::string_view> read{"GET", full_key};
    host::redis::TransactionAndCommand replies;
    CounterCommands window;
    try {
        const CounterExpiry form = co_await counter_form(service, budget);
        window = counter_commands(rate_key, form);
        const auto wait = budget.next_wait(host::seconds_to_duration(cache_timeout));
        replies =
            co_await service.redis_client().transaction_and_command(window.commands, read, wait);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        warn_rate_limit(service, rule, e.what());
        service.logger()->warn("Cache get failed for {}: {}", cache_key, e.what());
        co_return std::nullopt;
    }

    std::optional<std::int64_t> request_count;
    try {
        if (replies.transaction_error) {
            service.request_counter().refused();
            std::rethrow_exception(replies.transaction_error);
        }
        request_count = RequestCounter::count_in(window, replies.transaction);
    } catch (const std::exception& e) {
        warn_rate_limit(service, rule, e.what());
    }
    if (request_count)
        refuse_if_over(rule, *request_count);

    if (replies.command_error) {
        service.logger()->warn("Cache get failed for {}: {}", cache_key,
                               what_of(replies.command_error));
        co_return std::nullopt;
    }
    if (replies.command.is_nil())
        co_return std::nullopt;
    if (replies.command.type != host::redis::Reply::Type::string) {
        service.logger()->warn("Cache get failed for {}: Unexpected reply type to GET", cache_key);
        co_return std::nullopt;
    }
    co_return std::move(replies.command.str);
}

}  // namespace tileway
