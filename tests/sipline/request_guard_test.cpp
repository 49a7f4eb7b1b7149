#include "sipline/request_guard.h"

#include <gtest/gtest.h>

namespace {

// The first refusal of a source is logged, the rest are counted and reported once an interval
// while they go on; forged sources by the thousand do not grow the table past its bound.
TEST(RequestGuardTest, RefusalsAreReportedOnceAnIntervalAndTheTableIsBounded) {
    RequestGuard guard(RequestLimits{20, 5, 1000, 64, 60000});
    EXPECT_TRUE(guard.refused(7, 0));
    EXPECT_FALSE(guard.refused(7, 10));
    EXPECT_FALSE(guard.refused(7, 20));
    EXPECT_TRUE(guard.dueReports(59999).empty());
    const auto due = guard.dueReports(60000);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].source, 7u);
    EXPECT_EQ(due[0].refused, 2u);
    EXPECT_TRUE(guard.reportsPending());
    EXPECT_TRUE(guard.dueReports(120000).empty());  // a quiet minute closes the report
    EXPECT_FALSE(guard.reportsPending());
    for (uint32_t source = 100; source < 10100; ++source) guard.admit(source, 130000);
    EXPECT_EQ(guard.sources(), 64u);
}

}  // namespace
