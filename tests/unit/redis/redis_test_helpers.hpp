#pragma once

// Helpers shared by the Redis client's unit and integration tests.

#include "host/redis.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace kavara::test {

// Awaits `op` and returns the message of the RedisError it must end with.
template <typename T>
host::awaitable<std::string> failure_of(host::awaitable<T> op) {
    try {
        co_await std::move(op);
    } catch (const host::redis::RedisError& e) {
        co_return e.what();
    }
    ADD_FAILURE() << "no RedisError";
    co_return "";
}

}  // namespace kavara::test
