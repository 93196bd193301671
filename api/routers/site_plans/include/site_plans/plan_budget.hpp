#pragma once

#include "host/runtime.hpp"

#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace site_plans {

// Who may start drawing, by the memory plans hold while drawn: the plans in flight share
// `budget_bytes`, and up to `max_waiting` more wait their turn in arrival order (a later plan
// never overtakes a waiting one, so a large plan is not starved by small ones). A plan larger
// than the whole budget runs alone. It does no I/O: it is told what happens and answers which
// plans may go.
class PlanAdmission {
  public:
    using Ticket = std::uint64_t;
    enum class Decision { admitted, queued, refused };

    PlanAdmission(std::size_t budget_bytes, std::size_t max_waiting)
        : budget_(budget_bytes), max_waiting_(max_waiting) {}

    // A plan of `bytes` asks to start.
    Decision request(Ticket ticket, std::size_t bytes);
    // An admitted plan of `bytes` is done; answers the waiting plans admitted in its place.
    std::vector<Ticket> release(std::size_t bytes);
    // A waiting plan gives up (its wait ran out); answers the plans admitted behind it. Nothing
    // happens to a ticket that is not waiting.
    std::vector<Ticket> withdraw(Ticket ticket);

    bool waiting(Ticket ticket) const;
    std::size_t in_flight_bytes() const noexcept { return in_flight_; }
    std::size_t waiting_count() const noexcept { return queue_.size(); }

  private:
    struct Waiter {
        Ticket ticket;
        std::size_t bytes;
    };
    bool fits(std::size_t bytes) const noexcept;
    std::vector<Ticket> admit_waiting();

    std::size_t budget_;
    std::size_t max_waiting_;
    std::size_t in_flight_ = 0;
    std::deque<Waiter> queue_;
};

// PlanAdmission on the event loop: a plan waits at most `max_wait` for its turn. All calls on
// the event loop's thread.
class PlanBudget : public std::enable_shared_from_this<PlanBudget> {
  public:
    struct Limits {
        std::size_t budget_bytes = 0;
        std::size_t max_waiting = 16;
        std::chrono::milliseconds max_wait{20'000};
    };

    // The bytes of one admitted plan, given back when it is destroyed.
    class Lease {
      public:
        Lease(std::shared_ptr<PlanBudget> budget, std::size_t bytes)
            : budget_(std::move(budget)), bytes_(bytes) {}
        Lease(Lease&& other) noexcept = default;
        Lease& operator=(Lease&&) = delete;
        ~Lease();

      private:
        std::shared_ptr<PlanBudget> budget_;
        std::size_t bytes_;
    };

    static std::shared_ptr<PlanBudget> make(Limits limits) {
        return std::shared_ptr<PlanBudget>(new PlanBudget(limits));
    }

    // A lease of `bytes` once the plan may start; nothing when the queue is full or the wait ran
    // out (the caller answers 503).
    host::awaitable<std::optional<Lease>> admit(std::size_t bytes);

    const Limits& limits() const noexcept { return limits_; }

  private:
    explicit PlanBudget(Limits limits)
        : limits_(limits), admission_(limits.budget_bytes, limits.max_waiting) {}
    void wake(const std::vector<PlanAdmission::Ticket>& admitted);

    Limits limits_;
    PlanAdmission admission_;
    PlanAdmission::Ticket next_ticket_ = 0;
    std::map<PlanAdmission::Ticket, boost::asio::steady_timer*> sleepers_;
};

}  // namespace site_plans
