#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace host {

using boost::asio::awaitable;

// The one event loop of the process. Every request, Redis command and database statement runs
// on it; `kavara-server` runs it on the main thread.
boost::asio::io_context& event_loop();

// Raised by wait_for when the time limit passes before the operation completes.
class TimeoutError : public std::runtime_error {
  public:
    TimeoutError() : std::runtime_error("operation timed out") {}
    using std::runtime_error::runtime_error;
};

inline std::chrono::steady_clock::duration seconds_to_duration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}

// Waits for `op` at most `limit`. When the limit passes first, `op` is cancelled (its cleanup
// runs before this returns) and TimeoutError is thrown; a failure of `op` is rethrown as is.
template <typename T>
awaitable<T> wait_for(awaitable<T> op, std::chrono::steady_clock::duration limit) {
    namespace asio = boost::asio;
    auto ex = co_await asio::this_coro::executor;
    asio::steady_timer timer(ex, limit);
    auto group = asio::experimental::make_parallel_group(
        asio::co_spawn(ex, std::move(op), asio::deferred), timer.async_wait(asio::deferred));
    if constexpr (std::is_void_v<T>) {
        auto [order, op_error, timer_error] =
            co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
        (void)timer_error;
        if (order[0] != 0)
            throw TimeoutError();
        if (op_error)
            std::rethrow_exception(op_error);
    } else {
        auto [order, op_error, value, timer_error] =
            co_await group.async_wait(asio::experimental::wait_for_one(), asio::use_awaitable);
        (void)timer_error;
        if (order[0] != 0)
            throw TimeoutError();
        if (op_error)
            std::rethrow_exception(op_error);
        co_return std::move(value);
    }
}

template <typename T>
awaitable<T> wait_for(awaitable<T> op, double seconds) {
    return wait_for(std::move(op), seconds_to_duration(seconds));
}

// True for the error a cancelled asynchronous operation ends with (the request was abandoned or
// the process is shutting down), as opposed to an ordinary failure.
bool is_cancellation(const std::exception& error) noexcept;

// True on the thread that is running the process's event loop.
bool on_event_loop();

// Starts `task` as a background task on the event loop: nobody waits for it and its result is
// dropped. Must be called on the event-loop thread; elsewhere it throws std::logic_error and
// starts nothing.
void spawn_background(awaitable<void> task);

// Background tasks started by spawn_background that have not finished yet: what a shutdown or a
// test waits for before it looks at what they wrote.
std::size_t background_tasks() noexcept;

// A small pool of threads for blocking work (plan rendering, libpq cancel requests), so the
// event loop never blocks. It starts with 2 threads unless set_blocking_threads said otherwise.
boost::asio::thread_pool& blocking_pool();

// The number of threads blocking_pool() starts with; at least 1. Throws std::logic_error once
// the pool has started, since its threads are fixed then.
void set_blocking_threads(std::size_t threads);

namespace detail {
// The function is a parameter, so it lives in the coroutine frame for the whole call (a lambda
// coroutine's captures would live in the lambda object instead).
template <typename Fn>
awaitable<std::invoke_result_t<Fn&>> call_in_coroutine(Fn fn) {
    co_return fn();
}
}  // namespace detail

// Runs `fn` on the blocking pool and resumes the caller on its own executor with the result
// (or the exception `fn` threw).
template <typename Fn>
auto run_blocking(Fn fn) -> awaitable<std::invoke_result_t<Fn&>> {
    namespace asio = boost::asio;
    auto ex = co_await asio::this_coro::executor;
    co_return co_await asio::co_spawn(blocking_pool(), detail::call_in_coroutine(std::move(fn)),
                                      asio::bind_executor(ex, asio::use_awaitable));
}

}  // namespace host
