#pragma once

#include "host/runtime.hpp"

#include <algorithm>
#include <chrono>

namespace tileway {

// How long one request may wait for Redis, all its steps together. A stalled Redis then delays
// a tile by at most this much: each step waits at most what is left, and once it is spent the
// remaining steps fail at once with TimeoutError, which every Redis step of a tile treats like
// any other Redis failure (it fails open and logs its warning).
class RedisBudget {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kPerRequest = std::chrono::milliseconds(250);

    explicit RedisBudget(Clock::duration total = kPerRequest) : deadline_(Clock::now() + total) {}

    // What the next step may wait: what is left, at most `step_limit`. Throws TimeoutError
    // when nothing is left.
    Clock::duration next_wait(Clock::duration step_limit) const {
        const auto left = deadline_ - Clock::now();
        if (left <= Clock::duration::zero())
            throw host::TimeoutError("Redis did not answer within the request's time for it");
        return std::min(left, step_limit);
    }

    // What is left now. A step that follows work of another kind (a database statement) gets a
    // budget of its own of this much, so that only the time spent waiting for Redis counts.
    Clock::duration left() const {
        return std::max(deadline_ - Clock::now(), Clock::duration::zero());
    }

  private:
    Clock::time_point deadline_;
};

}  // namespace tileway
