#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "util/qvtick.h"
#include "util/qvtime.h"

namespace {

// Takes a CQVTime and the C library's local time of the same second; retries
// when the second changed in between.
bool SameSecond(CQVTime* t, std::tm* ref)
{
    for (int attempt = 0; attempt < 5; attempt++) {
        std::time_t before = std::time(nullptr);
        t->Now();
        std::time_t after = std::time(nullptr);
        if (before == after) {
            *ref = *std::localtime(&before);
            return true;
        }
    }
    return false;
}

} // namespace

TEST(Time, FieldsAreLocalWallClock)
{
    CQVTime t;
    std::tm ref;
    ASSERT_TRUE(SameSecond(&t, &ref));
    EXPECT_EQ(t.GetYear(), ref.tm_year + 1900);
    EXPECT_EQ(t.GetMonth(), ref.tm_mon + 1) << "months count from 1";
    EXPECT_EQ(t.GetDay(), ref.tm_mday);
    EXPECT_EQ(t.GetHour(), ref.tm_hour) << "24-hour clock, local zone";
    EXPECT_EQ(t.GetMinute(), ref.tm_min);
    EXPECT_EQ(t.GetSecond(), ref.tm_sec);
    EXPECT_EQ(t.Get().wDayOfWeek, ref.tm_wday);
    EXPECT_LT(t.Get().wMilliseconds, 1000);
}

TEST(Time, SnapshotHoldsUntilNow)
{
    CQVTime t;
    QVSystemTime first = t.Get();
    SleepMs(1100);
    QVSystemTime still = t.Get();
    EXPECT_EQ(memcmp(&first, &still, sizeof(first)), 0) << "a snapshot does not tick by itself";
    t.Now();
    EXPECT_NE(memcmp(&first, &t.Get(), sizeof(first)), 0);
}
