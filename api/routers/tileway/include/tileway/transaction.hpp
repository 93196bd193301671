#pragma once

#include "host/runtime.hpp"

#include <boost/asio/this_coro.hpp>

#include <exception>
#include <type_traits>
#include <utility>

namespace tileway {

// Context manager for database transactions with proper cleanup: runs `body(db)`, then commits;
// an ordinary error of the body or of the commit rolls back and is passed on unchanged (an error
// of the rollback replaces it); the session is closed on every path, and an error of the close
// replaces any other. A cancellation skips commit and rollback and only closes.
//
// `Session` is anything with awaitable commit(), rollback() and close().
template <typename Session, typename Body>
auto db_transaction(Session& db, Body body)
    -> host::awaitable<typename std::invoke_result_t<Body&, Session&>::value_type> {
    using Result = typename std::invoke_result_t<Body&, Session&>::value_type;
    std::exception_ptr pending;
    bool cancelled = false;
    std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value{};

    try {
        if constexpr (std::is_void_v<Result>) {
            co_await body(db);
        } else {
            value = co_await body(db);
        }
    } catch (const std::exception& e) {
        cancelled = host::is_cancellation(e);
        pending = std::current_exception();
    } catch (...) {
        pending = std::current_exception();
    }

    if (!pending) {
        try {
            co_await db.commit();
        } catch (...) {
            pending = std::current_exception();
        }
    }
    if (pending && !cancelled) {
        try {
            co_await db.rollback();
        } catch (...) {
            pending = std::current_exception();
        }
    }
    if (cancelled)
        co_await boost::asio::this_coro::reset_cancellation_state();
    try {
        co_await db.close();
    } catch (...) {
        pending = std::current_exception();
    }
    if (pending)
        std::rethrow_exception(pending);
    if constexpr (!std::is_void_v<Result>)
        co_return std::move(*value);
}

}  // namespace tileway
