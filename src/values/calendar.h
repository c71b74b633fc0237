// Proleptic Gregorian calendar routines behind the date, time and timestamp parsers.
//
// Day ordinals count from 1 = 0001-01-01 (a Monday). Weekdays are 0 = Monday to
// 6 = Sunday. Routines that can fail return a TemporalError instead of throwing, so
// parsers stay exception-free until their caller decides; ThrowTemporalError turns a
// code into the std::runtime_error with the message users see.
#pragma once

#include <cstdint>

namespace recorder {
namespace data {

enum class TemporalError : uint8_t {
  None = 0,
  InvalidDate,        // "Invalid date string"
  InvalidTime,        // "Invalid time string"
  InvalidTimestamp,   // "Invalid timestamp string"
  MonthOutOfRange,    // "Month out of range"
  YearOutOfRange,     // "Year out of range"
  OrdinalOutOfRange,  // "Ordinal out of range"
  NShouldBeZero,      // "n should be 0"        (internal consistency of OrdinalToDate)
  WrongLeapYear,      // "Wrong leap year"      (internal consistency of OrdinalToDate)
  NOutOfRange,        // "n out of range"       (internal consistency of OrdinalToDate)
  DurationFormat,     // "Duration format error"
  InvalidDuration,    // "Invalid duration string"
};

// The message of an error code ("" for None).
const char* TemporalErrorMessage(TemporalError error);
// Throws std::runtime_error with TemporalErrorMessage(error); error must not be None.
[[noreturn]] void ThrowTemporalError(TemporalError error);

struct CivilDate {
  int64_t year = 0;
  int64_t month = 0;  // 1..12
  int64_t day = 0;    // 1..31
};

constexpr bool IsLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days of `month` in `year`; MonthOutOfRange unless month is 1..12.
TemporalError DaysInMonth(int64_t year, int64_t month, int64_t* days);
// Ordinal of 1 January of `year`; YearOutOfRange for year 0 or less.
TemporalError OrdinalOfYearStart(int64_t year, int64_t* ordinal);
// The date of a day ordinal; OrdinalOutOfRange below 1.
TemporalError OrdinalToDate(int64_t ordinal, CivilDate* date);

// Weekday of a day ordinal, 0 = Monday.
constexpr int64_t WeekdayOfOrdinal(int64_t ordinal) { return (ordinal + 6) % 7; }

// Days from 1970-01-01 to the given date. Months outside 1..12 and days outside the
// month roll over into neighbouring months and years, as a UTC calendar conversion does.
int64_t DaysFromUnixEpoch(int64_t year, int64_t month, int64_t day);

}  // namespace data
}  // namespace recorder
