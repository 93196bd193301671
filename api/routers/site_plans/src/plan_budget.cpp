#include "site_plans/plan_budget.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>

namespace site_plans {

bool PlanAdmission::fits(std::size_t bytes) const noexcept {
    return in_flight_ == 0 || bytes <= budget_ - std::min(in_flight_, budget_);
}

PlanAdmission::Decision PlanAdmission::request(Ticket ticket, std::size_t bytes) {
    if (queue_.empty() && fits(bytes)) {
        in_flight_ += bytes;
        return Decision::admitted;
    }
    if (queue_.size() >= max_waiting_)
        return Decision::refused;
    queue_.push_back({ticket, bytes});
    return Decision::queued;
}

std::vector<PlanAdmission::Ticket> PlanAdmission::admit_waiting() {
    std::vector<Ticket> admitted;
    while (!queue_.empty() && fits(queue_.front().bytes)) {
        in_flight_ += queue_.front().bytes;
        admitted.push_back(queue_.front().ticket);
        queue_.pop_front();
    }
    return admitted;
}

std::vector<PlanAdmission::Ticket> PlanAdmission::release(std::size_t bytes) {
    in_flight_ -= std::min(bytes, in_flight_);
    return admit_waiting();
}

std::vector<PlanAdmission::Ticket> PlanAdmission::withdraw(Ticket ticket) {
    auto at = std::find_if(queue_.begin(), queue_.end(),
                           [ticket](const Waiter& w) { return w.ticket == ticket; });
    if (at == queue_.end())
        return {};
    queue_.erase(at);
    return admit_waiting();
}

bool PlanAdmission::waiting(Ticket ticket) const {
    return std::any_of(queue_.begin(), queue_.end(),
                       [ticket](const Waiter& w) { return w.ticket == ticket; });
}

PlanBudget::Lease::~Lease() {
    if (budget_)
        budget_->wake(budget_->admission_.release(bytes_));
}

void PlanBudget::wake(const std::vector<PlanAdmission::Ticket>& admitted) {
    for (auto ticket : admitted) {
        if (auto sleeper = sleepers_.find(ticket); sleeper != sleepers_.end())
            sleeper->second->cancel();
    }
}

host::awaitable<std::optional<PlanBudget::Lease>> PlanBudget::admit(std::size_t bytes) {
    namespace asio = boost::asio;
    const auto ticket = next_ticket_++;
    switch (admission_.request(ticket, bytes)) {
        case PlanAdmission::Decision::admitted:
            co_return Lease(shared_from_this(), bytes);
        case PlanAdmission::Decision::refused:
            co_return std::nullopt;
        case PlanAdmission::Decision::queued:
            break;
    }
    asio::steady_timer timer(co_await asio::this_coro::executor, limits_.max_wait);
    // However the wait ends, the plan leaves the queue with it.
    struct Sleeper {
        PlanBudget& budget;
        PlanAdmission::Ticket ticket;
        ~Sleeper() {
            budget.sleepers_.erase(ticket);
            if (budget.admission_.waiting(ticket))
                budget.wake(budget.admission_.withdraw(ticket));
        }
    } sleeper{*this, ticket};
    sleepers_.emplace(ticket, &timer);
    // Cut short by wake() when the plan is admitted; else the wait ran out, or the request was
    // cancelled.
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
    if (admission_.waiting(ticket))
        co_return std::nullopt;
    co_return Lease(shared_from_this(), bytes);
}

}  // namespace site_plans
