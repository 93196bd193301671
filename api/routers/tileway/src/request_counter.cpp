#include "tileway/request_counter.hpp"

#include <charconv>

namespace tileway {

CounterCommands counter_commands(std::string_view key, CounterExpiry form) {
    if (form == CounterExpiry::set_nx)
        return {{{"SET", key, "0", "EX", "1", "NX"}, {"INCR", key}}, 1};
    return {{{"INCR", key}, {"EXPIRE", key, "1", "NX"}}, 0};
}

std::optional<int> redis_major_version(std::string_view info) {
    constexpr std::string_view field = "redis_version:";
    auto at = info.find(field);
    while (at != std::string_view::npos && at != 0 && info[at - 1] != '\n')
        at = info.find(field, at + 1);
    if (at == std::string_view::npos)
        return std::nullopt;
    const char* digits = info.data() + at + field.size();
    const char* end = info.data() + info.size();
    int major = 0;
    auto [after, ec] = std::from_chars(digits, end, major);
    if (ec != std::errc() || (after != end && *after != '.' && *after != '\r' && *after != '\n'))
        return std::nullopt;
    return major;
}

host::awaitable<std::int64_t> RequestCounter::count(std::string key) {
    const CounterCommands window = counter_commands(key, co_await form());
    std::vector<host::redis::Reply> replies;
    try {
        replies = co_await client_.transaction(window.commands);
    } catch (const host::redis::ReplyError&) {
        refused();
        throw;
    }
    co_return count_in(window, replies);
}

std::int64_t RequestCounter::count_in(const CounterCommands& window,
                                      const std::vector<host::redis::Reply>& replies) {
    if (replies.size() <= window.count_reply ||
        replies[window.count_reply].type != host::redis::Reply::Type::integer)
        throw host::redis::RedisError("unexpected reply to INCR");
    return replies[window.count_reply].integer;
}

void RequestCounter::refused() noexcept {
    // EXPIRE ... NX refused: the server may not be the one whose version was asked. (A counter
    // INCR cannot increment is refused too; asking again costs one INFO.)
    if (detected_ == CounterExpiry::expire_nx)
        detected_.reset();
}

std::optional<CounterExpiry> RequestCounter::known_form() const noexcept {
    if (expiry_ != CounterExpiry::detect)
        return expiry_;
    return detected_;
}

host::awaitable<CounterExpiry> RequestCounter::form() {
    if (expiry_ != CounterExpiry::detect)
        co_return expiry_;
    if (!detected_) {
        std::optional<int> major;
        try {
            const std::vector<std::string_view> info{"INFO", "server"};
            auto reply = co_await client_.command(info);
            major = redis_major_version(reply.str.view());
        } catch (const host::redis::ReplyError&) {
            // INFO is refused (renamed or disabled): the form every version accepts.
        }
        detected_ = major && *major >= 7 ? CounterExpiry::expire_nx : CounterExpiry::set_nx;
    }
    co_return *detected_;
}

}  // namespace tileway
