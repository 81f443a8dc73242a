#include <gtest/gtest.h>

#include <ctime>

#include "support/QFDateFormatterUtil.h"

namespace {
QFDateFormatterUtil::Date localTime(int month, int day, int hour, int minute, int second, int millis) {
    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(millis);
}
}  // namespace

TEST(QFDateFormatterUtil, LogPatternIsMonthDayTwentyFourHourClockAndMilliseconds) {
    auto& f = QFDateFormatterUtil::sharedFormatter();
    EXPECT_EQ(f.MMddHHmmssSSSForDate(localTime(12, 6, 13, 5, 9, 42)), "12/06 13:05:09 042");
    EXPECT_EQ(f.MMddHHmmssSSSForDate(localTime(1, 2, 3, 4, 5, 5)), "01/02 03:04:05 005");
    EXPECT_EQ(f.MMddHHmmssSSSForDate(std::nullopt), std::nullopt);
    EXPECT_EQ(f.timestampForDate(std::nullopt), std::nullopt);
}

TEST(QFDateFormatterUtil, RenderingsDoNotDependOnWhichRanBefore) {
    auto& f = QFDateFormatterUtil::sharedFormatter();
    auto when = localTime(12, 6, 13, 5, 9, 42);
    auto medium = f.timestampForDate(when);
    ASSERT_TRUE(medium);
    EXPECT_EQ(f.MMddHHmmssSSSForDate(when), "12/06 13:05:09 042");
    EXPECT_EQ(f.timestampForDate(when), medium);
    EXPECT_EQ(f.MMddHHmmssSSSForDate(when), "12/06 13:05:09 042");
    // Whole seconds only: two moments within one second render alike.
    EXPECT_EQ(f.timestampForDate(when + std::chrono::milliseconds(500)), medium);
    EXPECT_NE(medium->find("13"), std::string::npos) << *medium;
}
