#include "values/temporal_parsing.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <string_view>

namespace recorder {
namespace data {

namespace {

constexpr int64_t kMicrosecondsPerSecond = 1000000;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kMicrosecondsPerDay = kSecondsPerDay * kMicrosecondsPerSecond;
constexpr int64_t kMicrosecondsPerHour = 3600 * kMicrosecondsPerSecond;
constexpr int64_t kMicrosecondsPerWeek = 7 * kMicrosecondsPerDay;
constexpr int64_t kTicksPerSecond = 10000000;

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `count` digits at `position` (all before `end`) and advances.
bool ReadDigits(const char* text, size_t& position, size_t end, size_t count, int64_t* value) {
  if (end < position || end - position < count) return false;
  int64_t result = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[position + i];
    if (!IsDigit(c)) return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  position += count;
  return true;
}

// ---- Date part -------------------------------------------------------------------

struct DatePart {
  CivilDate date;       // month stays 0 when no month was read
  bool parsed = false;  // the whole span had a date shape and a valid week
  TemporalError calendar_error = TemporalError::None;  // from a week-date conversion
};

// Parses a calendar date or an ISO week date that must fill text[0, length).
DatePart ParseDatePart(const char* text, size_t length) {
  DatePart part;
  size_t position = 0;
  int64_t year;
  if (!ReadDigits(text, position, length, 4, &year)) return part;
  part.date.year = year;
  const bool extended = position < length && text[position] == '-';
  if (extended) ++position;

  if (position < length && text[position] == 'W') {
    ++position;
    int64_t week, weekday = 1;
    if (!ReadDigits(text, position, length, 2, &week)) return part;
    if (position < length) {
      if (extended) {
        if (text[position] != '-') return part;
        ++position;
      }
      if (!ReadDigits(text, position, length, 1, &weekday)) return part;
    }
    if (position != length) return part;

    int64_t january_first;
    part.calendar_error = OrdinalOfYearStart(year, &january_first);
    if (part.calendar_error != TemporalError::None) return part;
    const int64_t first_weekday = WeekdayOfOrdinal(january_first);
    // A year has 53 weeks when it starts on a Thursday, or on a Wednesday in a leap year.
    const bool long_year = first_weekday == 3 || (first_weekday == 2 && IsLeapYear(year));
    if (week < 1 || week > (long_year ? 53 : 52) || weekday < 1 || weekday > 7) return part;
    // Week 1 holds the year's first Thursday.
    const int64_t week_one_monday =
        first_weekday <= 3 ? january_first - first_weekday : january_first - first_weekday + 7;
    part.calendar_error = OrdinalToDate(week_one_monday + 7 * (week - 1) + (weekday - 1), &part.date);
    part.parsed = part.calendar_error == TemporalError::None;
    return part;
  }

  int64_t month, day;
  if (!ReadDigits(text, position, length, 2, &month)) return part;
  part.date.month = month;
  if (extended) {
    if (position >= length || text[position] != '-') return part;
    ++position;
  }
  if (!ReadDigits(text, position, length, 2, &day)) return part;
  part.date.day = day;
  part.parsed = position == length;
  return part;
}

// ---- Time part -------------------------------------------------------------------

struct Clock {
  int64_t hour = 0;
  int64_t minute = 0;
  int64_t second = 0;
  int64_t microseconds = 0;
};

enum class GroupsEnd {
  Complete,  // the groups fill the span exactly
  Trailing,  // one stray character after the last group, or text after a long fraction
  Failed,
};

// hh[:mm[:ss]] or hhmmss, each group optional after the hour, then an optional fraction
// introduced by '.' or ','; all within text[begin, end).
GroupsEnd ParseGroups(const char* text, size_t begin, size_t end, Clock* clock) {
  int64_t* const fields[3] = {&clock->hour, &clock->minute, &clock->second};
  size_t position = begin;
  bool extended = false;
  bool fraction = false;
  for (int group = 0; group < 3 && !fraction; ++group) {
    if (!ReadDigits(text, position, end, 2, fields[group])) return GroupsEnd::Failed;
    if (position == end) return GroupsEnd::Complete;
    const char next = text[position++];
    if (group == 0) extended = next == ':';
    if (position == end) return GroupsEnd::Trailing;
    if (next == '.' || next == ',') {
      fraction = true;
    } else if (group == 2) {
      return GroupsEnd::Failed;  // nothing but a fraction may follow the seconds
    } else if (extended) {
      if (next != ':') return GroupsEnd::Failed;
    } else {
      --position;  // basic form: that character starts the next group
    }
  }
  // At most six fraction digits count; fewer are scaled up to microseconds.
  static constexpr int64_t kScale[7] = {0, 100000, 10000, 1000, 100, 10, 1};
  const size_t digits = std::min<size_t>(6, end - position);
  int64_t value;
  if (!ReadDigits(text, position, end, digits, &value)) return GroupsEnd::Failed;
  clock->microseconds = value * kScale[digits];
  while (position < end && IsDigit(text[position])) ++position;
  return position == end ? GroupsEnd::Complete : GroupsEnd::Trailing;
}

struct TimePart {
  Clock clock;
  bool has_zone = false;
  int64_t offset_seconds = 0;  // east of UTC is positive
};

// A time of day with an optional zone, filling text[begin, end).
bool ParseTimePart(const char* text, size_t begin, size_t end, TimePart* part) {
  size_t zone = begin;
  while (zone < end && text[zone] != '+' && text[zone] != '-' && text[zone] != 'Z') ++zone;
  const GroupsEnd groups = ParseGroups(text, begin, zone, &part->clock);
  if (groups == GroupsEnd::Failed) return false;
  if (zone == end) return true;  // without a zone a stray last character is ignored
  if (groups != GroupsEnd::Complete) return false;
  part->has_zone = true;
  if (text[zone] == 'Z') return zone + 1 == end;
  Clock offset;
  if (ParseGroups(text, zone + 1, end, &offset) != GroupsEnd::Complete) return false;
  const int64_t magnitude = offset.hour * 3600 + offset.minute * 60 + offset.second;
  part->offset_seconds = text[zone] == '-' ? -magnitude : magnitude;
  return true;
}

// ---- Timestamp ---------------------------------------------------------------------

// How many leading characters of a timestamp are its date; 0 when none can be.
size_t TimestampDateLength(const char* text, size_t length) {
  const auto at = [&](size_t i) { return i < length ? text[i] : '\0'; };
  if (length == 7) return 7;
  if (at(4) == '-' && at(5) == 'W') {
    if (length < 8) return 0;
    if (length > 8 && at(8) == '-') {
      if (length == 9) return 0;
      return length > 10 && IsDigit(at(10)) ? 8 : 10;
    }
    return 8;
  }
  if (at(4) == '-') return 10;
  if (at(4) == 'W') {
    size_t end = 7;
    if (length >= 8) {
      while (end < length && IsDigit(text[end])) ++end;
    }
    if (end <= 8) return end;
    return end % 2 == 1 ? 8 : 7;
  }
  return 8;
}

// Bytes of the UTF-8 character that starts with `lead`.
size_t Utf8CharacterLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

// ---- Duration ----------------------------------------------------------------------

bool ParseCount(const char* begin, const char* end, int64_t* value) {
  if (begin == end) return false;  // a designator needs digits
  const auto [stop, error] = std::from_chars(begin, end, *value);
  return error == std::errc{} && stop == end;
}

bool OnlyCharacters(std::string_view text, std::string_view allowed) {
  return text.find_first_not_of(allowed) == std::string_view::npos;
}

// Checked a * b + c.
bool MultiplyAdd(int64_t a, int64_t b, int64_t c, int64_t* result) {
  int64_t product;
  return !__builtin_mul_overflow(a, b, &product) && !__builtin_add_overflow(product, c, result);
}

struct Designator {
  char letter;
  int64_t unit;  // what one count of it adds
};

// Sums the integer counts before each designator, in the given order, each optional,
// starting at `position` and leaving it after the last designator found. False when a
// count is missing, is not a plain integer up to its designator, or overflows.
bool SumCounts(std::string_view portion, std::initializer_list<Designator> designators, size_t* position,
               int64_t* total) {
  *total = 0;
  for (const Designator& designator : designators) {
    const size_t found = portion.find(designator.letter, *position);
    if (found == std::string_view::npos) continue;
    int64_t count;
    if (!ParseCount(portion.data() + *position, portion.data() + found, &count) ||
        !MultiplyAdd(count, designator.unit, *total, total)) {
      return false;
    }
    *position = found + 1;
  }
  return true;
}

// Date portion "[nY][nM][nD]" in hours; a year counts 360 days, a month 30.
TemporalError ParseDurationDate(std::string_view portion, int64_t* hours) {
  if (!OnlyCharacters(portion, "01234567890.YMD")) return TemporalError::DurationFormat;
  size_t position = 0;
  if (!SumCounts(portion, {{'Y', 360 * 24}, {'M', 30 * 24}, {'D', 24}}, &position, hours)) {
    return TemporalError::DurationFormat;
  }
  return position == portion.size() ? TemporalError::None : TemporalError::DurationFormat;
}

// Time portion "[nH][nM][x.yS]" in microseconds.
TemporalError ParseDurationTime(std::string_view portion, int64_t* microseconds) {
  if (!OnlyCharacters(portion, ".0123456789HMS")) return TemporalError::InvalidDuration;
  if (portion.empty()) return TemporalError::DurationFormat;  // a T with nothing after it
  size_t position = 0;
  if (!SumCounts(portion, {{'H', 3600 * kMicrosecondsPerSecond}, {'M', 60 * kMicrosecondsPerSecond}}, &position,
                 microseconds)) {
    return TemporalError::DurationFormat;
  }
  const size_t seconds_end = portion.find('S', position);
  if (seconds_end != std::string_view::npos) {
    double seconds;
    const char* begin = portion.data() + position;
    const char* end = portion.data() + seconds_end;
    if (begin == end) return TemporalError::DurationFormat;
    const auto [stop, error] = std::from_chars(begin, end, seconds, std::chars_format::fixed);
    if (error != std::errc{} || stop != end || !std::isfinite(seconds)) return TemporalError::DurationFormat;
    const double scaled = std::trunc(seconds * kMicrosecondsPerSecond);
    // 2^63 is exactly representable; anything at or above it does not fit.
    if (!(scaled < 9223372036854775808.0) ||
        __builtin_add_overflow(*microseconds, static_cast<int64_t>(scaled), microseconds)) {
      return TemporalError::DurationFormat;
    }
    position = seconds_end + 1;
  }
  return position == portion.size() ? TemporalError::None : TemporalError::DurationFormat;
}

}  // namespace

// ---- Public parsers ----------------------------------------------------------------

int64_t TimestampFields::ToUnixSeconds() const {
  return DaysFromUnixEpoch(year, month, day) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
}

int64_t TimestampFields::ToUnixMicroseconds() const {
  return ToUnixSeconds() * kMicrosecondsPerSecond + microseconds;
}

TemporalError try_parse_date(const char* text, size_t length, int64_t* ticks) noexcept {
  if (length != 7 && length != 8 && length != 10) return TemporalError::InvalidDate;
  const DatePart part = ParseDatePart(text, length);
  if (!part.parsed) return TemporalError::InvalidDate;
  const CivilDate& date = part.date;
  int64_t month_length;
  if (date.year < 1 || date.year > 9999 || DaysInMonth(date.year, date.month, &month_length) != TemporalError::None ||
      date.day < 1 || date.day > month_length) {
    return TemporalError::InvalidDate;
  }
  *ticks = DaysFromUnixEpoch(date.year, date.month, date.day) * kSecondsPerDay * kTicksPerSecond;
  return TemporalError::None;
}

int64_t parse_date(const char* text, size_t length) {
  int64_t ticks = 0;
  const TemporalError error = try_parse_date(text, length, &ticks);
  if (error != TemporalError::None) ThrowTemporalError(error);
  return ticks;
}

TemporalError try_parse_time_of_day(const char* text, size_t length, int64_t* microseconds) noexcept {
  const size_t begin = length > 0 && text[0] == 'T' ? 1 : 0;
  TimePart part;
  if (!ParseTimePart(text, begin, length, &part)) return TemporalError::InvalidTime;
  const Clock& clock = part.clock;
  if ((part.has_zone && std::abs(part.offset_seconds) >= kSecondsPerDay) || clock.hour > 23 ||
      clock.minute > 59 || clock.second > 59) {
    return TemporalError::InvalidTime;
  }
  int64_t result = (clock.hour * 3600 + clock.minute * 60 + clock.second) * kMicrosecondsPerSecond +
                   clock.microseconds;
  if (part.has_zone) {
    result -= part.offset_seconds * kMicrosecondsPerSecond;
    if (result < 0) result += kMicrosecondsPerDay;
  }
  *microseconds = result;
  return TemporalError::None;
}

int64_t parse_time_of_day(const char* text, size_t length) {
  int64_t microseconds = 0;
  const TemporalError error = try_parse_time_of_day(text, length, &microseconds);
  if (error != TemporalError::None) ThrowTemporalError(error);
  return microseconds;
}

TemporalError try_parse_timestamp(const char* text, size_t length, TimestampFields* fields) noexcept {
  const size_t date_length = TimestampDateLength(text, length);
  if (date_length == 0) return TemporalError::InvalidTimestamp;
  const DatePart part = ParseDatePart(text, std::min(date_length, length));
  if (part.calendar_error != TemporalError::None) return part.calendar_error;
  // The month is checked before anything else, so a text whose month was never read
  // reports the month.
  const CivilDate& date = part.date;
  int64_t month_length;
  if (DaysInMonth(date.year, date.month, &month_length) != TemporalError::None) {
    return TemporalError::MonthOutOfRange;
  }
  if (!part.parsed || date_length > length || date.day > month_length || date.day < 1 || date.year < 1) {
    return TemporalError::InvalidTimestamp;
  }
  *fields = TimestampFields{date.year, date.month, date.day, 0, 0, 0, 0};
  if (date_length == length) return TemporalError::None;

  const size_t time_begin = date_length + Utf8CharacterLength(static_cast<unsigned char>(text[date_length]));
  TimePart time;
  if (time_begin > length || !ParseTimePart(text, time_begin, length, &time)) {
    return TemporalError::InvalidTimestamp;
  }
  fields->hour = time.clock.hour;
  fields->minute = time.clock.minute;
  fields->second = time.clock.second - time.offset_seconds;
  fields->microseconds = time.clock.microseconds;
  return TemporalError::None;
}

bool parse_timestamp(const char* text, size_t length, TimestampFields* fields) {
  const TemporalError error = try_parse_timestamp(text, length, fields);
  if (error == TemporalError::InvalidTimestamp) return false;
  if (error != TemporalError::None) ThrowTemporalError(error);
  return true;
}

TemporalError try_parse_duration(const char* text, size_t length, int64_t* microseconds) noexcept {
  const std::string_view whole(text, length);
  const size_t start = !whole.empty() && whole[0] == 'P' ? 1 : 0;

  if (!whole.empty() && whole.back() == 'W') {
    int64_t weeks;
    if (!ParseCount(text + start, text + length - 1, &weeks) || weeks < 0 ||
        !MultiplyAdd(weeks, kMicrosecondsPerWeek, 0, microseconds)) {
      return TemporalError::DurationFormat;
    }
    return TemporalError::None;
  }

  const size_t time_mark = whole.find('T', start);
  const std::string_view date_portion =
      whole.substr(start, time_mark == std::string_view::npos ? std::string_view::npos : time_mark - start);
  int64_t hours = 0;
  if (!date_portion.empty()) {
    const TemporalError error = ParseDurationDate(date_portion, &hours);
    if (error != TemporalError::None) return error;
  }
  int64_t time_microseconds = 0;
  if (time_mark != std::string_view::npos) {
    const TemporalError error = ParseDurationTime(whole.substr(time_mark + 1), &time_microseconds);
    if (error != TemporalError::None) return error;
  } else if (date_portion.empty()) {
    return TemporalError::DurationFormat;  // "" or "P": no component at all
  }
  if (!MultiplyAdd(hours, kMicrosecondsPerHour, time_microseconds, microseconds)) {
    return TemporalError::DurationFormat;
  }
  return TemporalError::None;
}

int64_t parse_duration(const char* text, size_t length) {
  int64_t microseconds = 0;
  const TemporalError error = try_parse_duration(text, length, &microseconds);
  if (error != TemporalError::None) ThrowTemporalError(error);
  return microseconds;
}

}  // namespace data
}  // namespace recorder
