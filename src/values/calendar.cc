#include "values/calendar.h"

#include <stdexcept>

namespace recorder {
namespace data {

namespace {

constexpr int64_t kDaysIn400Years = 146097;
constexpr int64_t kDaysIn100Years = 36524;
constexpr int64_t kDaysIn4Years = 1461;
constexpr int64_t kDaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Days before the first of each month in a common year.
constexpr int64_t kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

constexpr int64_t DaysBeforeYear(int64_t year) {
  const int64_t y = year - 1;
  return y * 365 + y / 4 - y / 100 + y / 400;
}

constexpr int64_t MonthLength(int64_t year, int64_t month) {
  return kDaysInMonth[month] + (month == 2 && IsLeapYear(year) ? 1 : 0);
}

// Floor division for the proleptic calendar before year 1.
constexpr int64_t FloorDivide(int64_t value, int64_t divisor) {
  return value / divisor - ((value % divisor != 0) && ((value < 0) != (divisor < 0)) ? 1 : 0);
}

}  // namespace

const char* TemporalErrorMessage(TemporalError error) {
  switch (error) {
    case TemporalError::None:
      return "";
    case TemporalError::InvalidDate:
      return "Invalid date string";
    case TemporalError::InvalidTime:
      return "Invalid time string";
    case TemporalError::InvalidTimestamp:
      return "Invalid timestamp string";
    case TemporalError::MonthOutOfRange:
      return "Month out of range";
    case TemporalError::YearOutOfRange:
      return "Year out of range";
    case TemporalError::OrdinalOutOfRange:
      return "Ordinal out of range";
    case TemporalError::NShouldBeZero:
      return "n should be 0";
    case TemporalError::WrongLeapYear:
      return "Wrong leap year";
    case TemporalError::NOutOfRange:
      return "n out of range";
    case TemporalError::DurationFormat:
      return "Duration format error";
    case TemporalError::InvalidDuration:
      return "Invalid duration string";
  }
  return "Unknown temporal error";
}

void ThrowTemporalError(TemporalError error) { throw std::runtime_error(TemporalErrorMessage(error)); }

TemporalError DaysInMonth(int64_t year, int64_t month, int64_t* days) {
  if (month < 1 || month > 12) return TemporalError::MonthOutOfRange;
  *days = MonthLength(year, month);
  return TemporalError::None;
}

TemporalError OrdinalOfYearStart(int64_t year, int64_t* ordinal) {
  if (year <= 0) return TemporalError::YearOutOfRange;
  *ordinal = DaysBeforeYear(year) + 1;
  return TemporalError::None;
}

TemporalError OrdinalToDate(int64_t ordinal, CivilDate* date) {
  if (ordinal < 1) return TemporalError::OrdinalOutOfRange;
  // Peel off whole 400-, 100-, 4- and 1-year cycles from the days before the date.
  int64_t n = ordinal - 1;
  const int64_t cycles400 = n / kDaysIn400Years;
  n %= kDaysIn400Years;
  const int64_t cycles100 = n / kDaysIn100Years;
  n %= kDaysIn100Years;
  const int64_t cycles4 = n / kDaysIn4Years;
  n %= kDaysIn4Years;
  const int64_t years1 = n / 365;
  n %= 365;
  int64_t year = cycles400 * 400 + cycles100 * 100 + cycles4 * 4 + years1 + 1;
  // The last day of a 4-year or 400-year cycle shows up as a fifth year or century.
  if (years1 == 4 || cycles100 == 4) {
    if (n != 0) return TemporalError::NShouldBeZero;
    *date = {year - 1, 12, 31};
    return TemporalError::None;
  }
  const bool leap = years1 == 3 && (cycles4 != 24 || cycles100 == 3);
  if (leap != IsLeapYear(year)) return TemporalError::WrongLeapYear;
  // (n + 50) / 32 is the month or the one after it.
  int64_t month = (n + 50) >> 5;
  int64_t preceding = kDaysBeforeMonth[month] + (month > 2 && leap ? 1 : 0);
  if (preceding > n) {
    --month;
    preceding -= MonthLength(year, month);
  }
  n -= preceding;
  if (n < 0 || n >= MonthLength(year, month)) return TemporalError::NOutOfRange;
  *date = {year, month, n + 1};
  return TemporalError::None;
}

int64_t DaysFromUnixEpoch(int64_t year, int64_t month, int64_t day) {
  // Normalise the month into 1..12 first, carrying whole years.
  const int64_t month_index = month - 1;
  year += FloorDivide(month_index, 12);
  month = month_index - FloorDivide(month_index, 12) * 12 + 1;
  // Days from 0001-01-01 via 400-year eras, valid for years before 1 as well.
  const int64_t eras = FloorDivide(year - 1, 400);
  const int64_t year_in_era = year - eras * 400;  // 1..400
  const int64_t days = eras * kDaysIn400Years + DaysBeforeYear(year_in_era) + kDaysBeforeMonth[month] +
                       (month > 2 && IsLeapYear(year_in_era) ? 1 : 0) + day - 1;
  constexpr int64_t kDaysBeforeUnixEpoch = DaysBeforeYear(1970);  // 719162
  return days - kDaysBeforeUnixEpoch;
}

}  // namespace data
}  // namespace recorder
