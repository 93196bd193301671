#include "host/runtime.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <stdexcept>

namespace host {

boost::asio::io_context& event_loop() {
    // One loop per process; 1 = this context is run by a single thread.
    static boost::asio::io_context loop(1);
    return loop;
}

bool is_cancellation(const std::exception& error) noexcept {
    auto* system = dynamic_cast<const boost::system::system_error*>(&error);
    return system && system->code() == boost::asio::error::operation_aborted;
}

bool on_event_loop() {
    return event_loop().get_executor().running_in_this_thread();
}

namespace {

// Only the event-loop thread starts and ends background tasks.
std::size_t background_in_flight = 0;

awaitable<void> counted(awaitable<void> task) {
    struct Finished {
        ~Finished() { --background_in_flight; }
    } finished;
    co_await std::move(task);
}

}  // namespace

void spawn_background(awaitable<void> task) {
    if (!on_event_loop()) {
        throw std::logic_error("no event loop is running on this thread");
    }
    ++background_in_flight;
    boost::asio::co_spawn(event_loop(), counted(std::move(task)), boost::asio::detached);
}

std::size_t background_tasks() noexcept {
    return background_in_flight;
}

namespace {

std::atomic<std::size_t> blocking_threads{2};
std::atomic<bool> blocking_pool_started{false};

}  // namespace

boost::asio::thread_pool& blocking_pool() {
    static boost::asio::thread_pool pool([] {
        blocking_pool_started = true;
        return blocking_threads.load();
    }());
    return pool;
}

void set_blocking_threads(std::size_t threads) {
    if (threads == 0)
        throw std::invalid_argument("the blocking pool needs at least one thread");
    if (blocking_pool_started)
        throw std::logic_error("the blocking pool has started already");
    blocking_threads = threads;
}

}  // namespace host
