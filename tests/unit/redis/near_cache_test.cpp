// The in-memory copy of hot values: least recently used out first within its byte budget,
// expired values never handed out, oversized values never kept.
#include "host/near_cache.hpp"

#include <gtest/gtest.h>

namespace {

using host::Bytes;
using host::NearCache;
using namespace std::chrono_literals;

TEST(NearCache, KeepsWithinItsBudgetAndDropsTheLeastRecentlyUsed) {
    const auto now = NearCache::Clock::now();
    const auto later = now + 1h;
    NearCache cache(10);
    cache.store("a", Bytes(std::string("1234")), later);
    cache.store("b", Bytes(std::string("5678")), later);
    ASSERT_TRUE(cache.find("a", now));                  // a is now the most recent
    cache.store("c", Bytes(std::string("90")), later);  // 10 bytes: all fit
    cache.store("d", Bytes(std::string("xy")), later);  // 12: b goes
    EXPECT_FALSE(cache.find("b", now));
    EXPECT_EQ(cache.find("a", now)->view(), "1234");
    EXPECT_EQ(cache.bytes(), 8u);
    cache.store("a", Bytes(std::string("z")), later);  // replaced, not added
    EXPECT_EQ(cache.find("a", now)->view(), "z");
    EXPECT_EQ(cache.bytes(), 5u);
    cache.store("huge", Bytes(std::string(11, 'h')), later);
    EXPECT_FALSE(cache.find("huge", now));
    EXPECT_EQ(cache.size(), 3u);
}

TEST(NearCache, ExpiredErasedAndClearedValuesAreGone) {
    const auto now = NearCache::Clock::now();
    NearCache cache(100);
    cache.store("old", Bytes(std::string("x")), now);
    cache.store("new", Bytes(std::string("y")), now + 1s);
    cache.store("other", Bytes(std::string("z")), now + 1s);
    EXPECT_FALSE(cache.find("old", now));
    EXPECT_TRUE(cache.find("new", now));
    cache.erase("new");
    EXPECT_FALSE(cache.find("new", now));
    cache.clear();
    EXPECT_FALSE(cache.find("other", now));
    EXPECT_EQ(cache.bytes(), 0u);
}

// Only keys found before are worth tracking; many others found later do not crowd them out.
TEST(NearCache, RemembersTheKeysFound) {
    NearCache cache(100);
    EXPECT_FALSE(cache.was_found("mvt_v8:plots:16:1:1"));
    cache.note_found("mvt_v8:plots:16:1:1");
    EXPECT_TRUE(cache.was_found("mvt_v8:plots:16:1:1"));
    EXPECT_FALSE(cache.was_found("mvt_v8:plots:16:1:2"));
    for (int i = 0; i < 1000; ++i)
        cache.note_found("mvt_v8:plots:16:2:" + std::to_string(i));
    int remembered = 0;
    for (int i = 0; i < 1000; ++i)
        remembered += cache.was_found("mvt_v8:plots:16:2:" + std::to_string(i));
    EXPECT_GE(remembered, 900);  // a few share a slot
}

}  // namespace
