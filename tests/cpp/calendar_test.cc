#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "values/calendar.h"
#include "values/temporal_parsing.h"

using namespace recorder::data;

namespace {

// Month lengths written out independently of the code under test.
int ReferenceMonthLength(int year, int month) {
  static const int lengths[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month != 2) return lengths[month - 1];
  const bool leap = year % 400 == 0 || (year % 100 != 0 && year % 4 == 0);
  return leap ? 29 : 28;
}

constexpr int64_t kTicksPerDay = 86400LL * 10000000LL;

}  // namespace

TEST(CalendarTest, EveryDayFromYearOneToYear9999) {
  // Walk the calendar one day at a time, counting ordinals, and check every routine
  // and both date text forms against the count and against the standard library.
  const int64_t epoch_ordinal = 719163;  // 1970-01-01, confirmed by the walk below
  int64_t ordinal = 0;
  int64_t failures = 0;
  char text[48];
  for (int year = 1; year <= 9999; ++year) {
    int64_t year_start;
    ASSERT_EQ(OrdinalOfYearStart(year, &year_start), TemporalError::None);
    ASSERT_EQ(year_start, ordinal + 1) << year;
    for (int month = 1; month <= 12; ++month) {
      int64_t month_length;
      ASSERT_EQ(DaysInMonth(year, month, &month_length), TemporalError::None);
      ASSERT_EQ(month_length, ReferenceMonthLength(year, month));
      for (int day = 1; day <= month_length; ++day) {
        ++ordinal;
        if (year == 1970 && month == 1 && day == 1) {
          ASSERT_EQ(ordinal, epoch_ordinal);
        }
        CivilDate date;
        const bool ordinal_ok = OrdinalToDate(ordinal, &date) == TemporalError::None && date.year == year &&
                                date.month == month && date.day == day;
        const bool weekday_ok = WeekdayOfOrdinal(ordinal) == (ordinal - 1) % 7;  // 0001-01-01 a Monday
        const int64_t days = DaysFromUnixEpoch(year, month, day);
        const auto library_days = std::chrono::sys_days{std::chrono::year{year} / month / day}.time_since_epoch().count();
        int64_t extended = -1, basic = -2;
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        try_parse_date(text, 10, &extended);
        std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, day);
        try_parse_date(text, 8, &basic);
        const int64_t expected_ticks = (ordinal - epoch_ordinal) * kTicksPerDay;
        if (!ordinal_ok || !weekday_ok || days != ordinal - epoch_ordinal || days != library_days ||
            extended != expected_ticks || basic != expected_ticks) {
          if (++failures < 10) ADD_FAILURE() << year << '-' << month << '-' << day;
        }
      }
    }
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(ordinal, 3652059);
}

TEST(CalendarTest, IsoWeekDatesRoundTripThroughTheOrdinalRoutines) {
  // For each day of 1600..2400 derive its ISO week date the textbook way (the week's
  // Thursday decides the week-numbering year) and parse it back in all four forms.
  int64_t start;
  ASSERT_EQ(OrdinalOfYearStart(1600, &start), TemporalError::None);
  int64_t end;
  ASSERT_EQ(OrdinalOfYearStart(2401, &end), TemporalError::None);
  int weeks_in_year[2402] = {};
  char text[48];
  for (int64_t ordinal = start; ordinal < end; ++ordinal) {
    const int64_t weekday = WeekdayOfOrdinal(ordinal);  // 0 = Monday
    CivilDate thursday;
    ASSERT_EQ(OrdinalToDate(ordinal - weekday + 3, &thursday), TemporalError::None);
    int64_t iso_year_start;
    ASSERT_EQ(OrdinalOfYearStart(thursday.year, &iso_year_start), TemporalError::None);
    const int64_t week = (ordinal - weekday + 3 - iso_year_start) / 7 + 1;
    weeks_in_year[thursday.year] = std::max<int>(weeks_in_year[thursday.year], int(week));
    CivilDate date;
    ASSERT_EQ(OrdinalToDate(ordinal, &date), TemporalError::None);
    const int64_t expected = DaysFromUnixEpoch(date.year, date.month, date.day) * kTicksPerDay;
    const int y = int(thursday.year), w = int(week), d = int(weekday + 1);
    for (const char* format : {"%04d-W%02d-%d", "%04dW%02d%d"}) {
      const int length = std::snprintf(text, sizeof text, format, y, w, d);
      int64_t ticks = 0;
      ASSERT_EQ(try_parse_date(text, length, &ticks), TemporalError::None) << text;
      ASSERT_EQ(ticks, expected) << text;
    }
    if (d == 1) {  // the short forms mean the Monday
      for (const char* format : {"%04d-W%02d", "%04dW%02d"}) {
        const int length = std::snprintf(text, sizeof text, format, y, w);
        int64_t ticks = 0;
        ASSERT_EQ(try_parse_date(text, length, &ticks), TemporalError::None) << text;
        ASSERT_EQ(ticks, expected) << text;
      }
    }
  }
  // Week 53 exists exactly in the years that start on a Thursday, or on a Wednesday in
  // a leap year, and is refused in the others.
  for (int year = 1601; year <= 2399; ++year) {
    int64_t january_first;
    ASSERT_EQ(OrdinalOfYearStart(year, &january_first), TemporalError::None);
    const int64_t weekday = WeekdayOfOrdinal(january_first);
    const bool long_year = weekday == 3 || (weekday == 2 && IsLeapYear(year));
    EXPECT_EQ(weeks_in_year[year], long_year ? 53 : 52) << year;
    const int length = std::snprintf(text, sizeof text, "%04d-W53-1", year);
    int64_t ticks;
    EXPECT_EQ(try_parse_date(text, length, &ticks) == TemporalError::None, long_year) << text;
  }
}

TEST(CalendarTest, RoutineFailuresAndNormalisation) {
  int64_t value;
  CivilDate date;
  EXPECT_EQ(DaysInMonth(2021, 0, &value), TemporalError::MonthOutOfRange);
  EXPECT_EQ(DaysInMonth(2021, 13, &value), TemporalError::MonthOutOfRange);
  EXPECT_EQ(OrdinalOfYearStart(0, &value), TemporalError::YearOutOfRange);
  EXPECT_EQ(OrdinalOfYearStart(-400, &value), TemporalError::YearOutOfRange);
  EXPECT_EQ(OrdinalToDate(0, &date), TemporalError::OrdinalOutOfRange);
  EXPECT_EQ(OrdinalToDate(-5, &date), TemporalError::OrdinalOutOfRange);
  // Far beyond year 9999 the cycle decomposition still holds.
  ASSERT_EQ(OrdinalToDate(146097LL * 1000, &date), TemporalError::None);
  EXPECT_EQ(date.year, 400000);
  EXPECT_EQ(date.month, 12);
  EXPECT_EQ(date.day, 31);

  const std::pair<TemporalError, const char*> messages[] = {
      {TemporalError::InvalidDate, "Invalid date string"},
      {TemporalError::InvalidTime, "Invalid time string"},
      {TemporalError::InvalidTimestamp, "Invalid timestamp string"},
      {TemporalError::MonthOutOfRange, "Month out of range"},
      {TemporalError::YearOutOfRange, "Year out of range"},
      {TemporalError::OrdinalOutOfRange, "Ordinal out of range"},
      {TemporalError::NShouldBeZero, "n should be 0"},
      {TemporalError::WrongLeapYear, "Wrong leap year"},
      {TemporalError::NOutOfRange, "n out of range"},
      {TemporalError::DurationFormat, "Duration format error"},
      {TemporalError::InvalidDuration, "Invalid duration string"},
  };
  for (const auto& [error, message] : messages) {
    try {
      ThrowTemporalError(error);
    } catch (const std::runtime_error& thrown) {
      EXPECT_STREQ(thrown.what(), message);
    }
  }

  // Out-of-range months and days roll over like a UTC calendar conversion.
  EXPECT_EQ(DaysFromUnixEpoch(1970, 1, 1), 0);
  EXPECT_EQ(DaysFromUnixEpoch(2000, 1, 1), 10957);
  EXPECT_EQ(DaysFromUnixEpoch(2020, 13, 1), DaysFromUnixEpoch(2021, 1, 1));
  EXPECT_EQ(DaysFromUnixEpoch(2021, 0, 1), DaysFromUnixEpoch(2020, 12, 1));
  EXPECT_EQ(DaysFromUnixEpoch(2021, -11, 1), DaysFromUnixEpoch(2020, 1, 1));
  EXPECT_EQ(DaysFromUnixEpoch(2021, 3, 0), DaysFromUnixEpoch(2021, 2, 28));
  EXPECT_EQ(DaysFromUnixEpoch(2020, 2, 30), DaysFromUnixEpoch(2020, 3, 1));
  EXPECT_EQ(DaysFromUnixEpoch(1, 1, 1), -719162);
  EXPECT_EQ(DaysFromUnixEpoch(0, 12, 31), -719163);  // the proleptic year before 1
}
