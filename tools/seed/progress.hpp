#pragma once

#include <chrono>
#include <cstdio>
#include <string_view>

namespace seed {

// Progress lines on standard output, each stamped with the seconds since the run began.
class Progress {
  public:
    Progress() : start_(std::chrono::steady_clock::now()), step_(start_) {}

    double elapsed() const { return since(start_); }

    // Prints `what` with the time since the previous step.
    void step(std::string_view what) {
        const auto now = std::chrono::steady_clock::now();
        std::printf("[%8.2f s] %.*s (%.2f s)\n", since(start_), static_cast<int>(what.size()),
                    what.data(), std::chrono::duration<double>(now - step_).count());
        std::fflush(stdout);
        step_ = now;
    }

  private:
    static double since(std::chrono::steady_clock::time_point t) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    }
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point step_;
};

}  // namespace seed
