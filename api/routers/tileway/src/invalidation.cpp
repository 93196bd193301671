#include "tileway/invalidation.hpp"

#include "endpoints.hpp"
#include "failures.hpp"
#include "host/responses.hpp"
#include "tileway/cache_keys.hpp"
#include "tileway/catalogue.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

// Deletes every key matching `pattern`, one DEL per key delivered by SCAN ... COUNT 100, and
// counts the keys delivered (a key delivered twice is deleted and counted twice).
host::awaitable<std::int64_t> delete_matching(const Service& service, std::string pattern) {
    auto& redis = service.redis_client();
    std::int64_t deleted_count = 0;
    std::string cursor = "0";
    do {
        auto page = co_await redis.scan(cursor, pattern, 100);
        for (const auto& key : page.keys) {
            co_await redis.del(key);
            ++deleted_count;
        }
        cursor = std::move(page.cursor);
    } while (cursor != "0");
    co_return deleted_count;
}

// Runs a worker over each pattern and logs its outcome; a failure is logged and counts 0 keys.
template <typename Done, typename Failed>
host::awaitable<std::int64_t> invalidating(const Service& service,
                                           std::vector<std::string> patterns, Done done,
                                           Failed failed) {
    try {
        std::int64_t deleted_count = 0;
        for (auto& pattern : patterns)
            deleted_count += co_await delete_matching(service, std::move(pattern));
        done(deleted_count);
        co_return deleted_count;
    } catch (const std::exception& e) {
        rethrow_if_cancelled(e);
        failed(e.what());
    }
    co_return 0;
}

void start_in_background(std::shared_ptr<const Service> service,
                         host::awaitable<std::int64_t> task) {
    // The service is a parameter so that it lives in the coroutine frame as long as the task.
    auto discard = [](std::shared_ptr<const Service>,
                      host::awaitable<std::int64_t> work) -> host::awaitable<void> {
        co_await std::move(work);
    };
    host::spawn_background(discard(std::move(service), std::move(task)));
}

}  // namespace

host::awaitable<std::int64_t> _invalidate_layer_cache_task(const Service& service,
                                                           std::string layer_name) {
    const auto& log = service.logger();
    std::vector<std::string> patterns =
        layer_invalidation_patterns(service.cache().key_namespace(), layer_name);
    co_return co_await invalidating(
        service, std::move(patterns),
        [&](std::int64_t n) {
            log->info("Background task: Invalidated {} cache entries for layer '{}'", n,
                      layer_name);
        },
        [&](const char* error) {
            log->error("Background task failed to invalidate cache for layer '{}': {}", layer_name,
                       error);
        });
}

host::awaitable<std::int64_t> _invalidate_all_cache_task(const Service& service) {
    const auto& log = service.logger();
    std::vector<std::string> patterns(1, namespace_pattern(service.cache().key_namespace()));
    co_return co_await invalidating(
        service, std::move(patterns),
        [&](std::int64_t n) {
            log->info("Background task: Invalidated ALL cache entries: {} keys deleted", n);
        },
        [&](const char* error) {
            log->error("Background task failed to invalidate all cache: {}", error);
        });
}

host::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(const Service& service,
                                                                std::string pattern) {
    const auto& log = service.logger();
    std::vector<std::string> patterns(1,
                                      namespaced_pattern(service.cache().key_namespace(), pattern));
    co_return co_await invalidating(
        service, std::move(patterns),
        [&](std::int64_t n) {
            log->info("Background task: Invalidated {} cache entries matching pattern '{}'", n,
                      pattern);
        },
        [&](const char* error) {
            log->error("Background task failed to invalidate cache by pattern '{}': {}", pattern,
                       error);
        });
}

void invalidate_layer_cache(std::shared_ptr<const Service> service, const std::string& layer_name) {
    auto task = _invalidate_layer_cache_task(*service, layer_name);
    const auto log = service->logger();
    start_in_background(std::move(service), std::move(task));
    log->debug("Scheduled background cache invalidation for layer '{}'", layer_name);
}

void invalidate_all_cache(std::shared_ptr<const Service> service) {
    auto task = _invalidate_all_cache_task(*service);
    const auto log = service->logger();
    start_in_background(std::move(service), std::move(task));
    log->debug("Scheduled background cache invalidation for ALL layers");
}

void invalidate_cache_by_pattern(std::shared_ptr<const Service> service,
                                 const std::string& pattern) {
    auto task = _invalidate_cache_by_pattern_task(*service, pattern);
    const auto log = service->logger();
    start_in_background(std::move(service), std::move(task));
    log->debug("Scheduled background cache invalidation for pattern '{}'", pattern);
}

host::awaitable<host::http::Response> invalidate_cache_endpoint(const Service& service,
                                                                std::string layer_name) {
    if (layer_name == "all") {
        auto deleted_count = co_await _invalidate_all_cache_task(service);
        co_return host::api_router_response(host::api_response(
            {.data = {{"deleted_count", deleted_count}},
             .message = fmt::format("All cache invalidated successfully. {} keys deleted.",
                                    deleted_count)}));
    }
    if (!LAYER_CONFIG.contains(layer_name)) {
        throw host::http::HTTPException(
            404, fmt::format("Layer '{}' not found. Valid layers: {}", layer_name,
                             quoted_name_list(LAYER_CONFIG.keys())));
    }
    auto deleted_count = co_await _invalidate_layer_cache_task(service, layer_name);
    nlohmann::ordered_json data;
    data["layer"] = layer_name;
    data["deleted_count"] = deleted_count;
    co_return host::api_router_response(host::api_response(
        {.data = std::move(data),
         .message = fmt::format("Cache for layer '{}' invalidated successfully. {} keys deleted.",
                                layer_name, deleted_count)}));
}

}  // namespace tileway
