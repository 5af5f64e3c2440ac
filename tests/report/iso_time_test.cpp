#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "report/Report.h"

namespace {

using qx::report::IsoUtc;

TEST(IsoUtc, KnownInstants) {
  EXPECT_EQ("1970-01-01T00:00:00Z", IsoUtc(0));
  EXPECT_EQ("1969-12-31T23:59:59Z", IsoUtc(-1));
  EXPECT_EQ("2000-02-29T00:00:00Z", IsoUtc(951782400));     // a century's leap day
  EXPECT_EQ("2024-02-29T12:34:56Z", IsoUtc(1709210096));
  EXPECT_EQ("2038-01-19T03:14:07Z", IsoUtc(2147483647));    // the last 32-bit second
  EXPECT_EQ("2038-01-19T03:14:08Z", IsoUtc(2147483648));
  EXPECT_EQ("2100-03-01T00:00:00Z", IsoUtc(4107542400));    // 2100 has no leap day
  EXPECT_EQ("2026-12-08T04:48:05Z", IsoUtc(1796705285));
  EXPECT_EQ("0001-01-01T00:00:00Z", IsoUtc(-62135596800));
  EXPECT_EQ("9999-12-31T23:59:59Z", IsoUtc(253402300799));
}

TEST(IsoUtc, YearsOutsideFourDigitsAndTheEndsOf64Bits) {
  EXPECT_EQ("10000-01-01T00:00:00Z", IsoUtc(253402300800));
  EXPECT_EQ("0000-01-01T00:00:00Z", IsoUtc(-62167219200));
  EXPECT_EQ("-0001-12-31T23:59:59Z", IsoUtc(-62167219201));
  EXPECT_EQ("292277026596-12-04T15:30:07Z", IsoUtc(std::numeric_limits<std::int64_t>::max()));
  EXPECT_EQ("-292277022657-01-27T08:29:52Z", IsoUtc(std::numeric_limits<std::int64_t>::min()));
}

// Every day of two 400-year cycles on each side of 1970 against a calendar
// counted one day at a time.
TEST(IsoUtc, AgreesWithACalendarCountedDayByDay) {
  auto isLeap = [](long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
  auto monthDays = [&](long long y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
  };
  constexpr long long kDays = 2 * 146097;
  // Forward from 1970-01-01.
  long long y = 1970;
  int m = 1, d = 1;
  char expected[80];
  for (long long day = 0; day < kDays; ++day) {
    std::snprintf(expected, sizeof expected, "%04lld-%02d-%02dT01:02:03Z", y, m, d);
    ASSERT_EQ(expected, IsoUtc(day * 86400 + 3723)) << "day " << day;
    if (++d > monthDays(y, m)) {
      d = 1;
      if (++m > 12) m = 1, ++y;
    }
  }
  // Backward from 1969-12-31.
  y = 1969, m = 12, d = 31;
  for (long long day = -1; day >= -kDays; --day) {
    std::snprintf(expected, sizeof expected, "%04lld-%02d-%02dT23:59:59Z", y, m, d);
    ASSERT_EQ(expected, IsoUtc(day * 86400 + 86399)) << "day " << day;
    if (--d < 1) {
      if (--m < 1) m = 12, --y;
      d = monthDays(y, m);
    }
  }
}

}  // namespace
