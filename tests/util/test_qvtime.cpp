#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "util/qvtick.h"
#include "util/qvtime.h"

// The C library's coarse clock can lag the precise one by a tick, so the
// fields are checked as one instant within a second of the library's time,
// not field by field against a second read separately.
TEST(Time, FieldsAreLocalWallClock)
{
    CQVTime t;
    std::time_t before = std::time(nullptr);
    t.Now();
    std::time_t after = std::time(nullptr);

    std::tm fields{};
    fields.tm_year = t.GetYear() - 1900;
    fields.tm_mon = t.GetMonth() - 1; // months count from 1
    fields.tm_mday = t.GetDay();
    fields.tm_hour = t.GetHour(); // 24-hour clock, local zone
    fields.tm_min = t.GetMinute();
    fields.tm_sec = t.GetSecond();
    fields.tm_isdst = -1;
    std::time_t instant = std::mktime(&fields);
    EXPECT_GE(instant, before - 1);
    EXPECT_LE(instant, after + 1);
    EXPECT_EQ(t.Get().wDayOfWeek, fields.tm_wday);
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
