#include "worker_supervisor.hpp"

#include "host/logging.hpp"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace kavara::server {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr Clock::duration kFirstPause = 100ms;
constexpr Clock::duration kLongestPause = 10s;
// A worker that served this long did not die of something its start brings back: the pause
// before its replacement starts over from the first.
constexpr Clock::duration kSettledLife = 60s;

struct Worker {
    pid_t pid = 0;  // 0 while it waits to be started again
    Clock::time_point started;
    Clock::time_point restart_at;
    Clock::duration pause = kFirstPause;
    bool replaced = false;  // this index has been started more than once
};

std::string how_it_ended(int status) {
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

bool ended_cleanly(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

class Supervisor {
  public:
    Supervisor(int count, const std::function<int(int)>& run)
        : workers_(static_cast<std::size_t>(count)), run_(run) {
        // The signals are taken in turn by sigtimedwait, never by a handler.
        sigemptyset(&signals_);
        for (int signal : {SIGCHLD, SIGINT, SIGTERM})
            sigaddset(&signals_, signal);
        ::sigprocmask(SIG_BLOCK, &signals_, &worker_mask_);
    }

    int run() {
        for (std::size_t i = 0; i < workers_.size(); ++i)
            start(i);
        while (!stopping_ || running() > 0) {
            wait_for_signal();
            reap();
            if (!stopping_)
                restart_due();
        }
        return exit_code_;
    }

  private:
    void start(std::size_t index) {
        Worker& worker = workers_[index];
        const pid_t supervisor = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0)
            throw std::system_error(errno, std::generic_category(), "fork failed");
        if (pid == 0)
            run_worker(static_cast<int>(index), supervisor);
        worker.pid = pid;
        worker.started = Clock::now();
    }

    [[noreturn]] void run_worker(int index, pid_t supervisor) {
        // A worker whose supervisor is gone would hold the port with nobody to replace it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != supervisor)
            std::_Exit(1);
        ::sigprocmask(SIG_SETMASK, &worker_mask_, nullptr);
        try {
            std::exit(run_(index));
        } catch (const std::exception& e) {
            std::cerr << "kavara-server: " << e.what() << std::endl;
            std::_Exit(1);
        }
    }

    std::size_t running() const {
        return static_cast<std::size_t>(
            std::count_if(workers_.begin(), workers_.end(), [](const Worker& w) { return w.pid; }));
    }

    // Until a worker ends, a stop signal comes, or the next restart is due.
    void wait_for_signal() {
        std::optional<timespec> timeout;
        if (auto due = next_restart()) {
            const auto wait = std::max(Clock::duration::zero(), *due - Clock::now());
            const auto whole = std::chrono::duration_cast<std::chrono::seconds>(wait);
            timeout = timespec{.tv_sec = static_cast<time_t>(whole.count()),
                               .tv_nsec = static_cast<long>((wait - whole).count())};
        }
        siginfo_t info{};
        const int signal = ::sigtimedwait(&signals_, &info, timeout ? &*timeout : nullptr);
        if (signal == SIGINT || signal == SIGTERM)
            stop();
    }

    std::optional<Clock::time_point> next_restart() const {
        std::optional<Clock::time_point> due;
        for (const auto& worker : workers_)
            if (!worker.pid && (!due || worker.restart_at < *due))
                due = worker.restart_at;
        return stopping_ ? std::nullopt : due;
    }

    void stop() {
        stopping_ = true;
        for (const auto& worker : workers_)
            if (worker.pid)
                ::kill(worker.pid, SIGTERM);
    }

    void reap() {
        int status = 0;
        for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
            const auto worker = std::find_if(workers_.begin(), workers_.end(),
                                             [&](const Worker& w) { return w.pid == pid; });
            if (worker == workers_.end())
                continue;
            worker->pid = 0;
            if (stopping_) {
                if (!ended_cleanly(status))
                    exit_code_ = 1;
            } else if (could_not_start(*worker, status)) {
                host::get_logger()->error("Worker {} could not start: stopping the server",
                                          worker - workers_.begin());
                exit_code_ = 1;
                stop();
            } else {
                schedule_restart(*worker, static_cast<std::size_t>(worker - workers_.begin()), pid,
                                 status);
            }
        }
    }

    static bool could_not_start(const Worker& worker, int status) {
        return !worker.replaced && WIFEXITED(status) && WEXITSTATUS(status) == kWorkerCouldNotStart;
    }

    void schedule_restart(Worker& worker, std::size_t index, pid_t pid, int status) {
        const auto now = Clock::now();
        if (now - worker.started >= kSettledLife)
            worker.pause = kFirstPause;
        worker.restart_at = now + worker.pause;
        host::get_logger()->warn("Worker {} (pid {}) {}; starting it again in {:.1f} s", index, pid,
                                 how_it_ended(status), seconds(worker.pause));
        worker.pause = std::min(worker.pause * 2, kLongestPause);
    }

    void restart_due() {
        const auto now = Clock::now();
        for (std::size_t i = 0; i < workers_.size(); ++i)
            if (!workers_[i].pid && workers_[i].restart_at <= now) {
                workers_[i].replaced = true;
                start(i);
            }
    }

    std::vector<Worker> workers_;
    const std::function<int(int)>& run_;
    sigset_t signals_{};
    sigset_t worker_mask_{};
    bool stopping_ = false;
    int exit_code_ = 0;
};

}  // namespace

int supervise_workers(int count, const std::function<int(int index)>& run) {
    return Supervisor(count, run).run();
}

}  // namespace kavara::server
