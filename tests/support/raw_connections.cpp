#include "raw_connections.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace kavara::test {
namespace {

using Clock = std::chrono::steady_clock;

// Until the socket has something to read (or its peer has gone), or `limit` passes.
bool readable(int fd, std::chrono::milliseconds limit) {
    pollfd waiting{.fd = fd, .events = POLLIN | POLLRDHUP, .revents = 0};
    return ::poll(&waiting, 1, static_cast<int>(limit.count())) > 0;
}

}  // namespace

DescriptorLimit::DescriptorLimit(rlim_t soft) {
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0)
        throw std::runtime_error("getrlimit failed");
    rlimit changed = saved_;
    changed.rlim_cur = std::min(soft, saved_.rlim_max);
    if (::setrlimit(RLIMIT_NOFILE, &changed) != 0)
        throw std::runtime_error("setrlimit failed");
}

DescriptorLimit::~DescriptorLimit() {
    ::setrlimit(RLIMIT_NOFILE, &saved_);
}

RawConnection::RawConnection(std::uint16_t port, int receive_buffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    if (receive_buffer > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error_ = errno;
        ::close(fd_);
        fd_ = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd_ >= 0)
        ::close(fd_);
}

RawConnection::RawConnection(RawConnection&& other) noexcept
    : fd_(other.fd_), error_(other.error_) {
    other.fd_ = -1;
}

bool RawConnection::send(std::string_view bytes) {
    while (fd_ >= 0 && !bytes.empty()) {
        const auto sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return fd_ >= 0;
}

std::string RawConnection::read_until(std::string_view end, std::chrono::milliseconds limit) {
    std::string received;
    const auto deadline = Clock::now() + limit;
    while (fd_ >= 0 && received.find(end) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !readable(fd_, left))
            break;
        char chunk[4096];
        const auto n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        received.append(chunk, static_cast<std::size_t>(n));
    }
    return received;
}

bool RawConnection::closed_by_peer(std::chrono::milliseconds limit) {
    if (fd_ < 0 || !readable(fd_, limit))
        return false;
    char byte = 0;
    const auto n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

}  // namespace kavara::test
