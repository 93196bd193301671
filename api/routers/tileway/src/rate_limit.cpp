#include "rate_limit.hpp"

#include "failures.hpp"
#include "host/metrics.hpp"
#include "tileway/tile_encoding.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>

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
    if (request_count > rule.limit) {
        host::metrics::add(host::metrics::kRateLimitRefusals, {{"limit", rule.metric_label}});
        throw host::http::HTTPException(429, rule.detail);
    }
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

namespace {

using Clock = std::chrono::steady_clock;

// The count in a transaction's outcome, or null (warned) when the transaction failed.
std::optional<std::int64_t> counted(const Service& service, const RateLimit& rule,
                                    const CounterCommands& window, std::exception_ptr error,
                                    const std::vector<host::redis::Reply>& replies) {
    try {
        if (error) {
            service.request_counter().refused();
            std::rethrow_exception(error);
        }
        return RequestCounter::count_in(window, replies);
    } catch (const std::exception& e) {
        warn_rate_limit(service, rule, e.what());
    }
    return std::nullopt;
}

// The cached bytes in a GET's outcome, or null on a miss or a failure (warned).
std::optional<host::Bytes> read_value(const Service& service, const std::string& cache_key,
                                      host::redis::Outcome& read) {
    if (read.error) {
        service.logger()->warn("Cache get failed for {}: {}", cache_key, what_of(read.error));
        return std::nullopt;
    }
    if (read.reply.is_nil())
        return std::nullopt;
    if (read.reply.type != host::redis::Reply::Type::string) {
        service.logger()->warn("Cache get failed for {}: Unexpected reply type to GET", cache_key);
        return std::nullopt;
    }
    return std::move(read.reply.str);
}

// A kept copy of the tile, if it is still the tile of the shared cache: the request is counted
// and the notices of changed keys are caught up with in the same round trip. Null when there is
// no kept copy, it was invalidated, or the notices could not be caught up with (then the caller
// reads Redis); the count has been made either way when `counted_already` is set.
host::awaitable<std::optional<host::NearCache::Kept>> kept_tile(
    const Service& service, const RateLimit& rule, const CounterCommands& window,
    const std::string& full_key, const RedisBudget& budget, bool& counted_already) {
    auto& redis = service.redis_client();
    if (!redis.tracking() || !service.kept_tiles().find(full_key))
        co_return std::nullopt;
    counted_already = true;
    host::redis::Client::TransactionAndBarrier outcome;
    try {
        const auto wait = budget.next_wait(host::seconds_to_duration(1.0));
        outcome = co_await redis.transaction_with_barrier(window.commands, wait);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        warn_rate_limit(service, rule, e.what());
        co_return std::nullopt;
    }
    if (auto count = counted(service, rule, window, outcome.transaction_error, outcome.transaction))
        refuse_if_over(rule, *count);
    if (!outcome.barrier)
        co_return std::nullopt;
    co_return service.kept_tiles().find_kept(full_key);
}

}  // namespace

host::Bytes content_tag_in(const host::redis::Reply& reply) {
    if (reply.type != host::redis::Reply::Type::string || reply.str.size() != kContentTagSize)
        return {};
    return reply.str;
}

host::awaitable<CachedRead> enforce_rate_limit_and_read(
    const Service& service, const host::http::Request& request, const RateLimit& rule,
    const std::string& cache_key, double cache_timeout, const RedisBudget& budget, bool read_tag) {
    const std::string rate_key = rule.key_prefix + client_ip(request);
    const std::string full_key = service.cache()._make_key(cache_key);
    auto& redis = service.redis_client();
    CounterCommands window;
    try {
        const CounterExpiry form = co_await counter_form(service, budget);
        window = counter_commands(rate_key, form);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        warn_rate_limit(service, rule, e.what());
        service.logger()->warn("Cache get failed for {}: {}", cache_key, e.what());
        co_return CachedRead{};
    }

    bool counted_already = false;
    if (auto kept = co_await kept_tile(service, rule, window, full_key, budget, counted_already))
        co_return CachedRead{std::move(kept->value), std::move(kept->tag)};

    // The gzip entry's key, written on the frame: no allocation for a tile's key.
    std::array<char, 192> tag_key_buffer;
    const auto tag_key_end =
        fmt::format_to_n(tag_key_buffer.data(), tag_key_buffer.size(), "{}:gz:{}",
                         service.cache().key_namespace(), cache_key);
    const std::string_view tag_key(tag_key_buffer.data(),
                                   std::min(tag_key_end.size, tag_key_buffer.size()));
    read_tag = read_tag && tag_key_end.size <= tag_key_buffer.size();
    static constexpr std::string_view kTagEnd = kContentTagEnd;

    // Read from Redis, with the count unless it was made above. A tracked read (CLIENT CACHING
    // YES just before it) may be kept when no notice came while it travelled. Only a key found by
    // an earlier read is tracked: a tile still to be built, as on every miss, is not worth a
    // tracking record in Redis and the notice its own store would then send back.
    auto& kept_tiles = service.kept_tiles();
    const bool keep = redis.tracking() && kept_tiles.was_found(full_key);
    std::vector<std::vector<std::string_view>> reads;
    if (keep)
        reads.push_back({"CLIENT", "CACHING", "YES"});
    reads.push_back({"GET", full_key});
    if (keep)
        reads.push_back({"PTTL", full_key});
    if (read_tag)
        reads.push_back({"GETRANGE", tag_key, "0", kTagEnd});
    const std::vector<std::vector<std::string_view>> no_count;
    const auto epoch = redis.tracking_epoch();
    const auto sent = Clock::now();
    host::redis::TransactionAndCommands replies;
    try {
        const auto wait = budget.next_wait(host::seconds_to_duration(cache_timeout));
        replies = co_await redis.transaction_and_commands(
            counted_already ? no_count : window.commands, reads, wait);
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        if (!counted_already)
            warn_rate_limit(service, rule, e.what());
        service.logger()->warn("Cache get failed for {}: {}", cache_key, e.what());
        co_return CachedRead{};
    }
    if (!counted_already) {
        if (auto count =
                counted(service, rule, window, replies.transaction_error, replies.transaction))
            refuse_if_over(rule, *count);
    }
    auto value = read_value(service, cache_key, replies.commands[keep ? 1 : 0]);
    const auto& tag_read = replies.commands.back();
    host::Bytes tag = read_tag && !tag_read.error ? content_tag_in(tag_read.reply) : host::Bytes();
    const bool found = value && !value->empty();
    if (found && !keep)
        kept_tiles.note_found(full_key);
    if (found && keep && redis.tracking() && redis.tracking_epoch() == epoch) {
        const auto& ttl = replies.commands[2];
        if (!ttl.error && ttl.reply.type == host::redis::Reply::Type::integer &&
            ttl.reply.integer != -2) {
            const auto expires = ttl.reply.integer >= 0
                                     ? sent + std::chrono::milliseconds(ttl.reply.integer)
                                     : sent + std::chrono::hours(1);
            kept_tiles.store(full_key, *value, expires, tag);
        }
    }
    co_return CachedRead{std::move(value), std::move(tag)};
}

}  // namespace tileway
