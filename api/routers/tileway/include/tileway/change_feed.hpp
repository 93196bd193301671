#pragma once

#include "host/runtime.hpp"
#include "tileway/change_log.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace tileway {

// How many clients may listen at once in a process.
struct ListenerLimits {
    std::size_t per_client = 4;
    std::size_t per_process = 1000;
};

// Hands the changes the process's watcher handled to every client listening for them. Used on
// the event-loop thread only.
class ChangeFeed {
  public:
    // What one client has not been sent yet. A client that falls far behind loses its oldest
    // changes rather than growing without bound.
    class Subscription {
      public:
        Subscription(boost::asio::any_io_executor executor, std::string client)
            : wake_(executor), client_(std::move(client)) {}
        // The changes published since the last call; waits for one at most `limit` and is
        // empty after it.
        host::awaitable<std::vector<ChangeRecord>> next(std::chrono::steady_clock::duration limit);

      private:
        friend class ChangeFeed;
        void push(const ChangeRecord& change);

        std::deque<ChangeRecord> waiting_;
        boost::asio::steady_timer wake_;
        std::string client_;
    };

    enum class Refusal { none, process_full, client_full };
    // A subscription, or why there is none.
    struct Admission {
        std::shared_ptr<Subscription> subscription;
        Refusal refusal = Refusal::none;
    };

    // Listens for `client` until the subscription is dropped, unless the process or the client
    // already has as many listeners as `limits` allow. The count and the new subscription are
    // one step, so clients arriving together cannot overshoot the limits.
    Admission subscribe(boost::asio::any_io_executor executor, std::string client = {},
                        const ListenerLimits& limits = {});
    void publish(const ChangeRecord& change);
    std::size_t subscribers();

  private:
    void forget_dropped();
    std::size_t subscribers_of(const std::string& client) const;
    std::vector<std::weak_ptr<Subscription>> subscribers_;
};

}  // namespace tileway
