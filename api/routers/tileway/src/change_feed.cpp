#include "tileway/change_feed.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace tileway {
namespace {

// Far more than an edit session produces between two reads of a connected client.
constexpr std::size_t kMostWaiting = 10000;

}  // namespace

host::awaitable<std::vector<ChangeRecord>> ChangeFeed::Subscription::next(
    std::chrono::steady_clock::duration limit) {
    if (waiting_.empty()) {
        wake_.expires_after(limit);
        co_await wake_.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
    }
    std::vector<ChangeRecord> changes(std::make_move_iterator(waiting_.begin()),
                                      std::make_move_iterator(waiting_.end()));
    waiting_.clear();
    co_return changes;
}

void ChangeFeed::Subscription::push(const ChangeRecord& change) {
    if (waiting_.size() == kMostWaiting)
        waiting_.pop_front();
    waiting_.push_back(change);
    wake_.cancel();
}

ChangeFeed::Admission ChangeFeed::subscribe(boost::asio::any_io_executor executor,
                                            std::string client, const ListenerLimits& limits) {
    forget_dropped();
    if (subscribers_.size() >= limits.per_process)
        return {.subscription = nullptr, .refusal = Refusal::process_full};
    if (subscribers_of(client) >= limits.per_client)
        return {.subscription = nullptr, .refusal = Refusal::client_full};
    auto subscription = std::make_shared<Subscription>(std::move(executor), std::move(client));
    subscribers_.push_back(subscription);
    return {.subscription = subscription, .refusal = Refusal::none};
}

void ChangeFeed::publish(const ChangeRecord& change) {
    for (const auto& weak : subscribers_)
        if (auto subscription = weak.lock())
            subscription->push(change);
}

std::size_t ChangeFeed::subscribers() {
    forget_dropped();
    return subscribers_.size();
}

std::size_t ChangeFeed::subscribers_of(const std::string& client) const {
    return static_cast<std::size_t>(
        std::count_if(subscribers_.begin(), subscribers_.end(), [&](const auto& weak) {
            const auto subscription = weak.lock();
            return subscription && subscription->client_ == client;
        }));
}

void ChangeFeed::forget_dropped() {
    std::erase_if(subscribers_, [](const auto& weak) { return weak.expired(); });
}

}  // namespace tileway
