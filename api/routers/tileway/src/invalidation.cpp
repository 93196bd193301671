#include "tileway/invalidation.hpp"

#include "host/responses.hpp"
#include "tileway/catalogue.hpp"
#include "tileway/endpoints.hpp"
#include "tileway/setup.hpp"

#include <fmt/format.h>

namespace tileway {
namespace {

// Deletes every key matching `pattern`, one DEL per key delivered by SCAN ... COUNT 100, and
// counts the keys delivered (a key delivered twice is deleted and counted twice).
host::awaitable<std::int64_t> delete_matching(std::string pattern) {
    auto& redis = redis_client();
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

host::awaitable<void> discard(host::awaitable<std::int64_t> task) {
    co_await std::move(task);
}

}  // namespace

host::awaitable<std::int64_t> _invalidate_layer_cache_task(std::string layer_name) {
    try {
        auto deleted_count =
            co_await delete_matching(fmt::format("{}:{}:*", cache().key_namespace(), layer_name));
        logger()->info("Background task: Invalidated {} cache entries for layer '{}'",
                       deleted_count, layer_name);
        co_return deleted_count;
    } catch (const std::exception& e) {
        if (host::is_cancellation(e))
            throw;
        logger()->error("Background task failed to invalidate cache for layer '{}': {}", layer_name,
                        e.what());
    }
    co_return 0;
}

host::awaitable<std::int64_t> _invalidate_all_cache_task() {
    try {
        auto deleted_count = co_await delete_matching(cache().key_namespace() + ":*");
        logger()->info("Background task: Invalidated ALL cache entries: {} keys deleted",
                       deleted_count);
        co_return deleted_count;
    } catch (const std::exception& e) {
        if (host::is_cancellation(e))
            throw;
        logger()->error("Background task failed to invalidate all cache: {}", e.what());
    }
    co_return 0;
}

host::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(std::string pattern) {
    try {
        auto deleted_count =
            co_await delete_matching(fmt::format("{}:{}", cache().key_namespace(), pattern));
        logger()->info("Background task: Invalidated {} cache entries matching pattern '{}'",
                       deleted_count, pattern);
        co_return deleted_count;
    } catch (const std::exception& e) {
        if (host::is_cancellation(e))
            throw;
        logger()->error("Background task failed to invalidate cache by pattern '{}': {}", pattern,
                        e.what());
    }
    co_return 0;
}

void invalidate_layer_cache(const std::string& layer_name) {
    host::spawn_background(discard(_invalidate_layer_cache_task(layer_name)));
    logger()->debug("Scheduled background cache invalidation for layer '{}'", layer_name);
}

void invalidate_all_cache() {
    host::spawn_background(discard(_invalidate_all_cache_task()));
    logger()->debug("Scheduled background cache invalidation for ALL layers");
}

void invalidate_cache_by_pattern(const std::string& pattern) {
    host::spawn_background(discard(_invalidate_cache_by_pattern_task(pattern)));
    logger()->debug("Scheduled background cache invalidation for pattern '{}'", pattern);
}

host::awaitable<host::http::Response> invalidate_cache_endpoint(std::string layer_name) {
    if (layer_name == "all") {
        auto deleted_count = co_await _invalidate_all_cache_task();
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
    auto deleted_count = co_await _invalidate_layer_cache_task(layer_name);
    nlohmann::ordered_json data;
    data["layer"] = layer_name;
    data["deleted_count"] = deleted_count;
    co_return host::api_router_response(host::api_response(
        {.data = std::move(data),
         .message = fmt::format("Cache for layer '{}' invalidated successfully. {} keys deleted.",
                                layer_name, deleted_count)}));
}

}  // namespace tileway
