// Text parsers for the temporal columns: calendar dates, times of day, timestamps and
// durations.
//
// Every parser reads a text given as pointer and length (a view into a record's JSON
// text is not NUL-terminated) and never reads past it, never allocates and, in its
// try_ form, never throws: it returns a TemporalError (see calendar.h) that the caller
// turns into its own fallback or into the exception with ThrowTemporalError. The
// plain forms throw std::runtime_error with the message of the error.
//
// Accepted forms:
//   date        yyyy-mm-dd, yyyymmdd, yyyy-Www-d, yyyy-Www, yyyyWwwd, yyyyWww
//               (ISO week dates), years 1..9999
//   time        [T]hh[:mm[:ss]][(.|,)fraction][zone] or the basic form hh[mm[ss]];
//               zone Z, +hh[:mm[:ss]] or -hh[:mm[:ss]]; at most six fraction digits
//               count, further ones are skipped
//   timestamp   a date, then one separator character (any UTF-8 character, such as T
//               or a space) and a time; the time's fields are not range-checked
//   duration    [P]nW, or [P][nY][nM][nD][T[nH][nM][x.yS]]; a year is 360 days and a
//               month 30; no signs
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "values/calendar.h"

namespace recorder {
namespace data {

// Broken-down UTC time of a timestamp. The offset of a zone is already applied to
// `second`, and hour, minute and second may lie outside their usual ranges (25:00 is
// 01:00 of the next day); the conversions below normalise them.
struct TimestampFields {
  int64_t year = 0;
  int64_t month = 0;
  int64_t day = 0;
  int64_t hour = 0;
  int64_t minute = 0;
  int64_t second = 0;
  int64_t microseconds = 0;  // 0..999999

  int64_t ToUnixSeconds() const;
  int64_t ToUnixMicroseconds() const;
};

// 100-nanosecond ticks from 1970-01-01T00:00:00Z to midnight UTC of the date.
// Error: InvalidDate.
TemporalError try_parse_date(const char* text, size_t length, int64_t* ticks) noexcept;
int64_t parse_date(const char* text, size_t length);

// Microseconds since midnight; with a zone, converted to UTC (a western zone late in
// the day can give a day or more, returned as computed). Error: InvalidTime.
TemporalError try_parse_time_of_day(const char* text, size_t length, int64_t* microseconds) noexcept;
int64_t parse_time_of_day(const char* text, size_t length);

// Errors: InvalidTimestamp, MonthOutOfRange (the month read, or the month never read,
// is not 1..12), YearOutOfRange for week dates of year 0.
TemporalError try_parse_timestamp(const char* text, size_t length, TimestampFields* fields) noexcept;
// Returns false for InvalidTimestamp (the caller reports it) and throws for the
// calendar errors.
bool parse_timestamp(const char* text, size_t length, TimestampFields* fields);

// Microseconds. Errors: DurationFormat (bad weeks form, a character outside
// "0123456789.YMD" before T, a number that does not run up to its designator, a
// designator without digits, leftover text, no component at all, overflow) and
// InvalidDuration (a character outside ".0123456789HMS" after T).
TemporalError try_parse_duration(const char* text, size_t length, int64_t* microseconds) noexcept;
int64_t parse_duration(const char* text, size_t length);

// The same parsers over a view, such as GenericValue::String() of a record's field.
inline int64_t parse_date(std::string_view text) { return parse_date(text.data(), text.size()); }
inline int64_t parse_time_of_day(std::string_view text) { return parse_time_of_day(text.data(), text.size()); }
inline bool parse_timestamp(std::string_view text, TimestampFields* fields) {
  return parse_timestamp(text.data(), text.size(), fields);
}
inline int64_t parse_duration(std::string_view text) { return parse_duration(text.data(), text.size()); }

}  // namespace data
}  // namespace recorder
