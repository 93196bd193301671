#pragma once

#include "host/runtime.hpp"
#include "tileway/change_log.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

namespace tileway {

// Hands the changes the process's watcher handled to every client listening for them. Used on
// the event-loop thread only.
class ChangeFeed {
  public:
    // What one client has not been sent yet. A client that falls far behind loses its oldest
    // changes rather than growing without bound.
    class Subscription {
      public:
        explicit Subscription(boost::asio::any_io_executor executor) : wake_(executor) {}
        // The changes published since the last call; waits for one at most `limit` and is
        // empty after it.
        host::awaitable<std::vector<ChangeRecord>> next(std::chrono::steady_clock::duration limit);

      private:
        friend class ChangeFeed;
        void push(const ChangeRecord& change);

        std::deque<ChangeRecord> waiting_;
        boost::asio::steady_timer wake_;
    };

    // Listens until the subscription is dropped.
    std::shared_ptr<Subscription> subscribe(boost::asio::any_io_executor executor);
    void publish(const ChangeRecord& change);
    std::size_t subscribers();

  private:
    void forget_dropped();
    std::vector<std::weak_ptr<Subscription>> subscribers_;
};

}  // namespace tileway
