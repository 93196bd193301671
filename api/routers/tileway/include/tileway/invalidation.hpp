#pragma once

#include "host/runtime.hpp"

#include <cstdint>
#include <string>

namespace tileway {

// Workers: walk the matching keys of the cache namespace with SCAN and delete them one by one.
// They log the outcome and return the number of keys deleted, or 0 after a failure; they never
// raise for an ordinary failure.
host::awaitable<std::int64_t> _invalidate_layer_cache_task(std::string layer_name);
host::awaitable<std::int64_t> _invalidate_all_cache_task();
host::awaitable<std::int64_t> _invalidate_cache_by_pattern_task(std::string pattern);

// Start the workers as fire-and-forget tasks on the event loop and return at once. Must be
// called on the event-loop thread; elsewhere they throw std::logic_error and schedule nothing.
void invalidate_layer_cache(const std::string& layer_name);
void invalidate_all_cache();
void invalidate_cache_by_pattern(const std::string& pattern);

}  // namespace tileway
