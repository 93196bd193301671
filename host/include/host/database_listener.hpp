#pragma once

#include "host/database.hpp"
#include "host/runtime.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <cstddef>
#include <memory>
#include <string_view>

namespace host::database {

// A connection of its own, outside the pool, that listens on one notification channel: for a
// task that waits for the database to announce something and then reads what it announced. A
// notification only says "look"; what to read is the caller's record in the database, since
// nothing is delivered while the connection is down. Used on the event-loop thread only.
class Listener {
  public:
    // Connects (within options.connect_timeout) and listens on `channel`, a plain identifier.
    // Throws DatabaseError when either fails.
    static awaitable<std::unique_ptr<Listener>> open(boost::asio::any_io_executor executor,
                                                     const PoolOptions& options,
                                                     std::string_view channel);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // One statement in a transaction of its own.
    awaitable<Result> execute(std::string_view sql, const Params& params = {});
    // Completes once a notification has come on the channel since the last call, at once when
    // one is already there; returns how many came. Bound it with wait_for. Throws DatabaseError
    // once the connection is lost: open a new listener then, and read what was missed.
    awaitable<std::size_t> wait();
    bool broken() const noexcept;

  private:
    explicit Listener(std::unique_ptr<Connection> connection);
    std::unique_ptr<Connection> connection_;
};

}  // namespace host::database
