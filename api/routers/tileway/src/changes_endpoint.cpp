#include "endpoints.hpp"

#include "tileway/change_feed.hpp"
#include "tileway/change_log.hpp"

#include <boost/asio/this_coro.hpp>

#include <chrono>

namespace tileway {
namespace {

// Often enough for proxies that close silent connections after a minute.
constexpr auto kHeartbeat = std::chrono::seconds(15);
// Each listening client holds a connection; beyond this many a process refuses more.
constexpr std::size_t kMostListeners = 1000;

std::string events(const std::vector<ChangeRecord>& changes) {
    std::string text;
    for (const auto& change : changes)
        text.append("event: change\ndata: ").append(change_event(change).dump()).append("\n\n");
    return text;
}

}  // namespace

host::http::Response get_changes(std::shared_ptr<const Service> service) {
    if (service->change_feed().subscribers() >= kMostListeners)
        return host::http::error_response(503, "Too many listeners");
    host::http::Response response{.status = 200,
                                  .body = {},
                                  .media_type = "text/event-stream",
                                  .headers = {{"Cache-Control", "no-cache"}},
                                  .stream = {}};
    response.stream = [service](const host::http::StreamWriter& write) -> host::awaitable<void> {
        auto executor = co_await boost::asio::this_coro::executor;
        const auto subscription = service->change_feed().subscribe(executor);
        // The retry hint and a first comment, so that the client knows it is connected.
        const bool connected = co_await write("retry: 2000\n: listening\n\n");
        if (!connected)
            co_return;
        for (;;) {
            const auto changes = co_await subscription->next(kHeartbeat);
            const std::string text =
                changes.empty() ? std::string(": heartbeat\n\n") : events(changes);
            const bool written = co_await write(text);
            if (!written)
                co_return;
        }
    };
    return response;
}

}  // namespace tileway
