#pragma once

#include "host/bytes.hpp"

#include <chrono>
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace host {

// A process-local copy of values kept in a shared store, bounded by the bytes it holds: the
// least recently used values leave first, a value larger than the whole budget is never kept.
// It does no I/O and knows nothing of invalidation; its owner erases what the store reports as
// changed. Used on one thread.
class NearCache {
  public:
    using Clock = std::chrono::steady_clock;

    explicit NearCache(std::size_t capacity_bytes)
        : capacity_(capacity_bytes), found_(kFoundSlots, 0) {}

    // A kept value and the tag its owner keeps beside it (empty when none was given).
    struct Kept {
        Bytes value;
        Bytes tag;
    };

    // The value, unless missing or expired (an expired one is dropped).
    std::optional<Bytes> find(std::string_view key, Clock::time_point now = Clock::now());
    std::optional<Kept> find_kept(std::string_view key, Clock::time_point now = Clock::now());
    void store(std::string key, Bytes value, Clock::time_point expires, Bytes tag = {});
    // Tags a value already kept; nothing happens when the key is not kept.
    void set_tag(std::string_view key, Bytes tag);
    void erase(std::string_view key);
    void clear();

    // Which keys are worth tracking in the shared store: those a read has found there before. A
    // key read while it is missing (a tile about to be built, as on every miss) would cost the
    // store a tracking record and its owner the notice of its own write. The keys found are
    // remembered as hashes in a fixed table; a collision forgets the older key, which then takes
    // one more read to be found again.
    void note_found(std::string_view key);
    bool was_found(std::string_view key) const;

    std::size_t size() const noexcept { return entries_.size(); }
    std::size_t bytes() const noexcept { return bytes_; }
    std::size_t capacity() const noexcept { return capacity_; }

  private:
    struct Entry {
        std::string key;
        Bytes value;
        Clock::time_point expires;
        Bytes tag;
    };
    using Order = std::list<Entry>;  // most recently used first

    void drop(Order::iterator entry);

    static constexpr std::size_t kFoundSlots = 1 << 14;
    static std::size_t found_hash(std::string_view key) noexcept;

    std::size_t capacity_;
    std::vector<std::size_t> found_;  // hashes of the keys found, by their low bits
    std::size_t bytes_ = 0;
    Order order_;
    std::unordered_map<std::string_view, Order::iterator> entries_;  // views into order_'s keys
};

}  // namespace host
