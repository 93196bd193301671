#pragma once

#include <unistd.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tiles {

// One line on standard error, redrawn in place ("\r") at most ten times a second: a bar, the
// tiles done of the total, the zoom being built and the seconds so far. Draws nothing unless
// standard error is a terminal, so logs and pipes only get the summary.
class ProgressBar {
  public:
    explicit ProgressBar(std::int64_t total, bool enabled = ::isatty(STDERR_FILENO) == 1)
        : total_(total), enabled_(enabled), start_(Clock::now()) {}

    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    void update(std::int64_t done, std::int64_t zoom) {
        const auto now = Clock::now();
        if (!enabled_ || (now - drawn_ < std::chrono::milliseconds(100) && done < total_))
            return;
        drawn_ = now;
        constexpr int width = 30;
        const int filled = total_ > 0 ? static_cast<int>(width * done / total_) : width;
        std::fprintf(stderr, "\r[%s%s] %lld/%lld tiles  z%lld  %.1f s",
                     std::string(filled, '#').c_str(), std::string(width - filled, ' ').c_str(),
                     static_cast<long long>(done), static_cast<long long>(total_),
                     static_cast<long long>(zoom), elapsed());
        std::fflush(stderr);
    }

    // A message on a line of its own, the bar being redrawn after it.
    void note(std::string_view message) {
        std::fprintf(stderr, "%s%.*s\n", enabled_ ? "\r\033[K" : "",
                     static_cast<int>(message.size()), message.data());
        drawn_ = {};
    }

    // Ends the bar's line so that what follows starts on a fresh one.
    void finish() {
        if (enabled_)
            std::fputs("\n", stderr);
    }

  private:
    using Clock = std::chrono::steady_clock;
    std::int64_t total_;
    bool enabled_;
    Clock::time_point start_;
    Clock::time_point drawn_{};
};

}  // namespace tiles
