#include "endpoints.hpp"

#include "rate_limit.hpp"
#include "tileway/change_feed.hpp"
#include "tileway/change_log.hpp"

#include <boost/asio/this_coro.hpp>

#include <chrono>

namespace tileway {
namespace {

using Refusal = ChangeFeed::Refusal;

// Often enough for proxies that close silent connections after a minute.
constexpr auto kHeartbeat = std::chrono::seconds(15);
// Each listening client holds a connection; beyond this many a process refuses more.
constexpr std::size_t kMostListeners = 1000;
// A refused listener waits for another to leave: that is seldom sooner.
constexpr const char* kRetryAfterSeconds = "10";

std::string events(const std::vector<ChangeRecord>& changes) {
    std::string text;
    for (const auto& change : changes)
        text.append("event: change\ndata: ").append(change_event(change).dump()).append("\n\n");
    return text;
}

host::http::Response refusal_response(Refusal refusal) {
    auto response = refusal == Refusal::client_full
                        ? host::http::error_response(429, "Too many listeners from this client")
                        : host::http::error_response(503, "Too many listeners");
    response.headers.emplace_back("Retry-After", kRetryAfterSeconds);
    return response;
}

}  // namespace

host::awaitable<host::http::Response> get_changes(std::shared_ptr<const Service> service,
                                                  const host::http::Request& request) {
    auto executor = co_await boost::asio::this_coro::executor;
    // The slot is taken here, before the answer goes out: its head's write lets other requests
    // run, and each of them must already count this one.
    auto admission = service->change_feed().subscribe(
        executor, client_ip(request),
        {.per_client = service->settings().streams_per_client, .per_process = kMostListeners});
    if (!admission.subscription)
        co_return refusal_response(admission.refusal);
    host::http::Response response{.status = 200,
                                  .body = {},
                                  .media_type = "text/event-stream",
                                  .headers = {{"Cache-Control", "no-cache"}},
                                  .stream = {}};
    response.stream = [subscription = std::move(admission.subscription)](
                          const host::http::StreamWriter& write) -> host::awaitable<void> {
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
    co_return response;
}

}  // namespace tileway
