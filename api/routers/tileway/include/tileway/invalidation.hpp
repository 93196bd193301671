#pragma once

#include "host/runtime.hpp"
#include "tileway/service.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace tileway {

// Workers: walk the matching keys of the cache namespace with SCAN and delete them one by one.
// They log the outcome and return the number of keys deleted, or 0 after a failure; they never
// raise for an ordinary failure. Which keys a layer's invalidation reaches: tileway/cache_keys.hpp.
host::awaitable<std::int64_t> _invalidate_layer_cache_task(const Service& service,
                                                           std::string layer_name);
host::awaitable<std::int64_t> _invalidate_all_cache_task(const Service& service);
host::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(const Service& service,
                                                                std::string pattern);

// Start the workers as fire-and-forget tasks on the event loop and return at once; the task
// keeps `service` alive. Must be called on the event-loop thread; elsewhere they throw
// std::logic_error and schedule nothing.
void invalidate_layer_cache(std::shared_ptr<const Service> service, const std::string& layer_name);
void invalidate_all_cache(std::shared_ptr<const Service> service);
void invalidate_cache_by_pattern(std::shared_ptr<const Service> service,
                                 const std::string& pattern);

}  // namespace tileway
