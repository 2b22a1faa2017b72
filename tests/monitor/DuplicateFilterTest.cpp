#include "monitor/DuplicateFilter.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kSecond = 1000;
constexpr int64_t kDay = 24 * 3600 * kSecond;

} // namespace

TEST(DuplicateFilter, RepeatsWithinFiveSecondsOfTheLastNotificationAreDuplicates) {
    CDuplicateFilter filter;
    int64_t nNow = 7 * kDay;
    EXPECT_FALSE(filter.IsDuplicate("a.dat", nNow));
    EXPECT_TRUE(filter.IsDuplicate("A.DAT", nNow + 4 * kSecond)) << "names compare without regard to case";
    // The window runs from the last notification, also a discarded one.
    EXPECT_TRUE(filter.IsDuplicate("a.dat", nNow + 8 * kSecond));
    EXPECT_FALSE(filter.IsDuplicate("a.dat", nNow + 14 * kSecond)) << "6 s after the last one";
    EXPECT_FALSE(filter.IsDuplicate("b.dat", nNow + 14 * kSecond + 1));
    EXPECT_FALSE(filter.IsDuplicate("a.dat", nNow + 14 * kSecond + 2)) << "one name remembered: a, b, a";
}

TEST(DuplicateFilter, TicketRewrittenAfterWeeksOfQuietIsNotADuplicate) {
    for (int64_t nQuietDays : {25, 30, 49, 60, 400}) {
        CDuplicateFilter filter;
        int64_t nNow = 3 * kDay;
        EXPECT_FALSE(filter.IsDuplicate("weekly.dat", nNow));
        EXPECT_FALSE(filter.IsDuplicate("weekly.dat", nNow + nQuietDays * kDay))
            << nQuietDays << " days of quiet";
        EXPECT_TRUE(filter.IsDuplicate("weekly.dat", nNow + nQuietDays * kDay + 4 * kSecond));
    }
}
