// How the rate limiters' counter reads the server's version from INFO server.
#include "tileway/request_counter.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace {

TEST(RedisVersion, TheMajorNumberOfTheVersionField) {
    const struct {
        std::string_view info;
        std::optional<int> major;
    } cases[] = {
        {"# Server\r\nredis_version:7.0.15\r\nredis_git_sha1:00000000\r\n", 7},
        {"# Server\r\nredis_version:6.2.14\r\nredis_mode:standalone\r\n", 6},
        {"redis_version:10.0.0", 10},
        {"redis_version:7\r\n", 7},
        {"# Server\r\nredis_mode:standalone\r\n", std::nullopt},
        {"redis_version:\r\n", std::nullopt},
        {"redis_version:seven\r\n", std::nullopt},
        {"redis_version:7x.0\r\n", std::nullopt},
        {"# Server\r\nmy_redis_version:9.0.0\r\nredis_version:6.0.9\r\n", 6},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tileway::redis_major_version(c.info), c.major) << c.info;
}

}  // namespace
