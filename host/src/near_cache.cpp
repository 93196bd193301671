#include "host/near_cache.hpp"

#include <functional>

namespace host {

std::optional<Bytes> NearCache::find(std::string_view key, Clock::time_point now) {
    auto kept = find_kept(key, now);
    if (!kept)
        return std::nullopt;
    return std::move(kept->value);
}

std::optional<NearCache::Kept> NearCache::find_kept(std::string_view key, Clock::time_point now) {
    auto it = entries_.find(key);
    if (it == entries_.end())
        return std::nullopt;
    if (it->second->expires <= now) {
        drop(it->second);
        return std::nullopt;
    }
    order_.splice(order_.begin(), order_, it->second);
    return Kept{it->second->value, it->second->tag};
}

void NearCache::store(std::string key, Bytes value, Clock::time_point expires, Bytes tag) {
    erase(key);
    if (value.size() > capacity_)
        return;
    order_.push_front(Entry{std::move(key), std::move(value), expires, std::move(tag)});
    bytes_ += order_.front().value.size();
    entries_.emplace(order_.front().key, order_.begin());
    while (bytes_ > capacity_)
        drop(std::prev(order_.end()));
}

void NearCache::set_tag(std::string_view key, Bytes tag) {
    if (auto it = entries_.find(key); it != entries_.end())
        it->second->tag = std::move(tag);
}

void NearCache::erase(std::string_view key) {
    if (auto it = entries_.find(key); it != entries_.end())
        drop(it->second);
}

void NearCache::clear() {
    entries_.clear();
    order_.clear();
    bytes_ = 0;
}

std::size_t NearCache::found_hash(std::string_view key) noexcept {
    return std::hash<std::string_view>{}(key) | 1;  // 0 marks a free slot
}

void NearCache::note_found(std::string_view key) {
    const std::size_t hash = found_hash(key);
    found_[hash & (kFoundSlots - 1)] = hash;
}

bool NearCache::was_found(std::string_view key) const {
    const std::size_t hash = found_hash(key);
    return found_[hash & (kFoundSlots - 1)] == hash;
}

void NearCache::drop(Order::iterator entry) {
    bytes_ -= entry->value.size();
    entries_.erase(std::string_view(entry->key));
    order_.erase(entry);
}

}  // namespace host
