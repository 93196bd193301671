// Admission of plans by memory, fed events one by one: who starts, who waits, who is refused.
#include "site_plans/plan_budget.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace site_plans {
namespace {

using Decision = PlanAdmission::Decision;
using Tickets = std::vector<PlanAdmission::Ticket>;

// A budget of 100 bytes and room for two waiting plans.
struct Admission : ::testing::Test {
    PlanAdmission admission{100, 2};
};

TEST_F(Admission, AdmitsWhatFitsAndQueuesTheRestInOrder) {
    struct Step {
        PlanAdmission::Ticket ticket;
        std::size_t bytes;
        Decision expected;
    };
    const std::vector<Step> steps{
        {1, 60, Decision::admitted}, {2, 40, Decision::admitted}, {3, 10, Decision::queued},
        {4, 50, Decision::queued},   {5, 1, Decision::refused},  // the queue is full
    };
    for (const auto& step : steps)
        EXPECT_EQ(admission.request(step.ticket, step.bytes), step.expected)
            << "ticket " << step.ticket;
    EXPECT_EQ(admission.in_flight_bytes(), 100u);
    EXPECT_EQ(admission.release(40), (Tickets{3})) << "4 does not fit beside 1 and 3 yet";
    EXPECT_EQ(admission.release(60), (Tickets{4}));
    EXPECT_EQ(admission.in_flight_bytes(), 60u);
    EXPECT_EQ(admission.waiting_count(), 0u);
}

TEST_F(Admission, ASmallPlanDoesNotOvertakeAWaitingLargeOne) {
    ASSERT_EQ(admission.request(1, 70), Decision::admitted);
    ASSERT_EQ(admission.request(2, 50), Decision::queued);
    EXPECT_EQ(admission.request(3, 10), Decision::queued) << "10 would fit, but 2 came first";
    EXPECT_EQ(admission.release(70), (Tickets{2, 3}));
}

TEST_F(Admission, APlanLargerThanTheBudgetRunsAlone) {
    EXPECT_EQ(admission.request(1, 500), Decision::admitted);
    EXPECT_EQ(admission.request(2, 1), Decision::queued);
    EXPECT_EQ(admission.release(500), (Tickets{2}));
    EXPECT_EQ(admission.request(3, 500), Decision::queued) << "2 is still drawing";
    EXPECT_EQ(admission.release(1), (Tickets{3}));
}

TEST_F(Admission, AWithdrawnPlanLeavesTheQueueAndLetsTheNextOneIn) {
    ASSERT_EQ(admission.request(1, 70), Decision::admitted);
    ASSERT_EQ(admission.request(2, 50), Decision::queued);
    ASSERT_EQ(admission.request(3, 20), Decision::queued);
    EXPECT_EQ(admission.withdraw(2), (Tickets{3}));
    EXPECT_FALSE(admission.waiting(2));
    EXPECT_EQ(admission.withdraw(3), Tickets{}) << "already admitted: nothing to withdraw";
    EXPECT_EQ(admission.in_flight_bytes(), 90u);
}

}  // namespace
}  // namespace site_plans
