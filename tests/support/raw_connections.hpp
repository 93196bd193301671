#pragma once

// Connections made by hand, for tests of what a server does with many, idle or unread ones, and
// the descriptor limit such a test runs under.

#include <sys/resource.h>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavara::test {

// The soft descriptor limit of this process set to `soft` (at most the hard limit) while the
// object lives; children started meanwhile keep it.
class DescriptorLimit {
  public:
    explicit DescriptorLimit(rlim_t soft);
    ~DescriptorLimit();
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

  private:
    rlimit saved_{};
};

// A blocking TCP connection to 127.0.0.1:`port`, closed with the object. A `receive_buffer`
// other than 0 sets the socket's receive buffer (the kernel's least when smaller) before it
// connects, for a client that lets the server's bytes pile up.
class RawConnection {
  public:
    explicit RawConnection(std::uint16_t port, int receive_buffer = 0);
    ~RawConnection();
    RawConnection(RawConnection&& other) noexcept;
    RawConnection& operator=(RawConnection&&) = delete;

    // Whether it connected; when not, error() is the errno of the attempt.
    bool connected() const noexcept { return fd_ >= 0; }
    int error() const noexcept { return error_; }
    // Sends all of `bytes`; false when the connection failed.
    bool send(std::string_view bytes);
    // What arrives until `end` has come, the peer closes or `limit` passes.
    std::string read_until(std::string_view end, std::chrono::milliseconds limit);
    // Whether the peer has closed or reset the connection, waiting `limit` at most for it.
    bool closed_by_peer(std::chrono::milliseconds limit = std::chrono::milliseconds(0));

  private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace kavara::test
