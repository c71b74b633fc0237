#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "values/temporal_parsing.h"

using namespace recorder::data;

namespace {

// Places a text so that it ends exactly at an inaccessible page: a parser that reads
// one byte past the length it was given crashes the test.
class GuardedText {
 public:
  GuardedText() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* memory = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(memory, MAP_FAILED);
    base_ = static_cast<char*>(memory);
    EXPECT_EQ(mprotect(base_ + page_, page_, PROT_NONE), 0);
  }
  ~GuardedText() { munmap(base_, 2 * page_); }

  const char* Place(std::string_view text) {
    char* start = base_ + page_ - text.size();
    std::memcpy(start, text.data(), text.size());
    return start;
  }

 private:
  size_t page_ = 0;
  char* base_ = nullptr;
};

std::string MessageOf(auto&& call) {
  try {
    call();
  } catch (const std::runtime_error& error) {
    return error.what();
  }
  return "";
}

constexpr int64_t kTicksPerDay = 86400LL * 10000000LL;
constexpr int64_t kHour = 3600LL * 1000000LL;

}  // namespace

TEST(TemporalParsingTest, Dates) {
  GuardedText guard;
  struct Case {
    const char* text;
    std::optional<int64_t> days_since_epoch;  // nullopt: "Invalid date string"
  };
  const Case cases[] = {
      {"1970-01-01", 0},
      {"2021-02-28", 18686},
      {"20210228", 18686},
      {"2020-02-29", 18321},
      {"2021-02-29", std::nullopt},
      {"2021-2-28", std::nullopt},  // length 9
      {"2021-02-2", std::nullopt},
      {"2021-W53", std::nullopt},
      {"2020-W53-5", 18628},  // 2021-01-01: 2020 starts on a Wednesday and is leap
      {"2020-W01-1", 18260},  // 2019-12-30, in the previous calendar year
      {"2021W017", 18637},    // 2021-01-10
      {"2021W01", 18631},     // 2021-01-04
      {"2021-W01", 18631},
      {"0001-01-01", -719162},
      {"9999-12-31", 2932896},
      {"0000-01-01", std::nullopt},
      {"0000-W01-1", std::nullopt},  // year 0 has no week dates
      {"2021-00-10", std::nullopt},
      {"2021-13-10", std::nullopt},
      {"2021-01-00", std::nullopt},
      {"2021-04-31", std::nullopt},
      {"2021-W00-1", std::nullopt},
      {"2021-W01-0", std::nullopt},
      {"2021-W01-8", std::nullopt},
      {"2021-W01x1", std::nullopt},
      {"2021W01-12", std::nullopt},
      {"2021/01/01", std::nullopt},
      {"20210101xx", std::nullopt},
      {"2021-01-0x", std::nullopt},
      {"+021-01-01", std::nullopt},
      {"2021-0101", std::nullopt},
      {"", std::nullopt},
      {"abcdefg", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string_view text(c.text);
    const char* placed = guard.Place(text);
    int64_t ticks = 0;
    const TemporalError error = try_parse_date(placed, text.size(), &ticks);
    if (c.days_since_epoch) {
      EXPECT_EQ(error, TemporalError::None) << c.text;
      EXPECT_EQ(ticks, *c.days_since_epoch * kTicksPerDay) << c.text;
      EXPECT_EQ(parse_date(placed, text.size()), ticks);
    } else {
      EXPECT_EQ(error, TemporalError::InvalidDate) << c.text;
      EXPECT_EQ(MessageOf([&] { parse_date(placed, text.size()); }), "Invalid date string") << c.text;
    }
  }
  // The length decides where the text ends, not a terminator: a digit right after the
  // view is not part of the date.
  const char longer[] = "2021-01-011";
  EXPECT_EQ(parse_date(longer, 10), 18628 * kTicksPerDay);
  EXPECT_THROW(parse_date(std::string_view(longer, 9)), std::runtime_error);
  EXPECT_EQ(parse_date(std::string_view("20210101")), 18628 * kTicksPerDay);
}

TEST(TemporalParsingTest, TimesOfDay) {
  GuardedText guard;
  struct Case {
    const char* text;
    std::optional<int64_t> microseconds;  // nullopt: "Invalid time string"
  };
  const Case cases[] = {
      {"12", 12 * kHour},
      {"12:30", 45000000000},
      {"1230", 45000000000},
      {"123045", 45045000000},
      {"12:30:45.5", 45045500000},
      {"12:30:45,123456789", 45045123456},
      {"12:30:45.000001", 45045000001},
      {"12:30:45.12", 45045120000},
      {"12.5", 12 * kHour + 500000},
      {"T08:00", 8 * kHour},
      {"00:00", 0},
      {"23:59:59.999999", 86399999999},
      {"24:00", std::nullopt},
      {"12:60", std::nullopt},
      {"12:00:60", std::nullopt},
      {"12:30:45Z", 45045000000},
      {"01:00+02:00", 82800000000},  // 23:00 of the day before, wrapped into the day
      {"23:00-02:00", 90000000000},  // a western zone late in the day: returned as computed
      {"12:00+0130", 37800000000},
      {"12:00+01", 11 * kHour},
      {"12:00+01:00:00.5", 11 * kHour},  // the zone's fraction is read, not used
      {"00:00-00:30", 1800000000},
      {"12:00+24:00", std::nullopt},  // offset too large
      {"12:00-24:00", std::nullopt},
      {"12:00Zx", std::nullopt},
      {"12:00+", std::nullopt},
      {"12:00+1", std::nullopt},
      {"12:00+01:00x", std::nullopt},
      // A stray character after the last group at the end, or text after a long
      // fraction, is ignored when there is no zone.
      {"12:30x", 45000000000},
      {"12:30:45.1234567x", 45045123456},
      {"12:30x+01:00", std::nullopt},
      {"12:30:45.5x", std::nullopt},
      {"12:30:45:00", std::nullopt},
      {"12:3045", std::nullopt},
      {"12:3", std::nullopt},
      {"1", std::nullopt},
      {"", std::nullopt},
      {"T", std::nullopt},
      {"ab:cd", std::nullopt},
      {"12x30", std::nullopt},
  };
  for (const Case& c : cases) {
    const std::string_view text(c.text);
    const char* placed = guard.Place(text);
    int64_t microseconds = -1;
    const TemporalError error = try_parse_time_of_day(placed, text.size(), &microseconds);
    if (c.microseconds) {
      EXPECT_EQ(error, TemporalError::None) << c.text;
      EXPECT_EQ(microseconds, *c.microseconds) << c.text;
    } else {
      EXPECT_EQ(error, TemporalError::InvalidTime) << c.text;
      EXPECT_EQ(MessageOf([&] { parse_time_of_day(placed, text.size()); }), "Invalid time string") << c.text;
    }
  }
}

TEST(TemporalParsingTest, EveryTimeOfDayAtOneSecondSteps) {
  char text[32];
  int64_t failures = 0;
  for (int64_t second = 0; second < 86400; ++second) {
    const int h = int(second / 3600), m = int(second / 60 % 60), s = int(second % 60);
    const int64_t expected = second * 1000000;
    int64_t extended = -1, basic = -1, zoned = -1;
    int length = std::snprintf(text, sizeof text, "%02d:%02d:%02d", h, m, s);
    try_parse_time_of_day(text, length, &extended);
    length = std::snprintf(text, sizeof text, "T%02d%02d%02d", h, m, s);
    try_parse_time_of_day(text, length, &basic);
    // The same instant written in UTC+05:30 must come back as the UTC time of day.
    const int64_t local = (second + 5 * 3600 + 1800) % 86400;
    length = std::snprintf(text, sizeof text, "%02d:%02d:%02d+05:30", int(local / 3600), int(local / 60 % 60),
                           int(local % 60));
    try_parse_time_of_day(text, length, &zoned);
    if (extended != expected || basic != expected || zoned % 86400000000 != expected) {
      if (++failures < 10) ADD_FAILURE() << "second " << second;
    }
  }
  EXPECT_EQ(failures, 0);
}

TEST(TemporalParsingTest, Timestamps) {
  GuardedText guard;
  struct Case {
    const char* text;
    TemporalError error;
    int64_t expected_unix_seconds;
    int64_t expected_microseconds;
  };
  const int64_t jan2 = 1609545600;  // 2021-01-02T00:00:00Z
  const int64_t at_030405 = jan2 + 3 * 3600 + 4 * 60 + 5;
  const Case cases[] = {
      {"2021-01-02T03:04:05", TemporalError::None, at_030405, 0},
      {"2021-01-02 03:04:05", TemporalError::None, at_030405, 0},
      {"20210102T030405", TemporalError::None, at_030405, 0},
      {"2021-01-02", TemporalError::None, jan2, 0},
      {"20210102", TemporalError::None, jan2, 0},
      {"2021-01-02T03:04:05+01:00", TemporalError::None, at_030405 - 3600, 0},
      {"2021-01-02T03:04:05-00:30", TemporalError::None, at_030405 + 1800, 0},
      {"2021-01-02T03:04:05.25Z", TemporalError::None, at_030405, 250000},
      {"2021-01-02\xE2\x80\x83" "03:04:05", TemporalError::None, at_030405, 0},  // em space
      {"2021-01-02\xC2\xA0" "03:04:05", TemporalError::None, at_030405, 0},      // no-break space
      {"2021-01-02\xF0\x9F\x95\x92" "03:04:05", TemporalError::None, at_030405, 0},
      {"2021-01-02T25:00", TemporalError::None, jan2 + 25 * 3600, 0},  // normalised later
      {"2021-01-02T03", TemporalError::None, jan2 + 3 * 3600, 0},
      {"2021-W01-1T10:00", TemporalError::None, 1609754400, 0},  // 2021-01-04
      {"2021W017T10:00", TemporalError::None, 1610272800, 0},    // 2021-01-10
      {"2021-W01T10:00", TemporalError::None, 1609754400, 0},
      {"2021W01", TemporalError::None, 1609718400, 0},
      {"2021-13-02T00:00", TemporalError::MonthOutOfRange, 0, 0},
      {"abcdefghij", TemporalError::MonthOutOfRange, 0, 0},
      {"abc", TemporalError::MonthOutOfRange, 0, 0},
      {"", TemporalError::MonthOutOfRange, 0, 0},
      {"2021-W53T00:00", TemporalError::MonthOutOfRange, 0, 0},  // no month was ever read
      {"0000-W01-1T00:00", TemporalError::YearOutOfRange, 0, 0},
      {"2021-02-30T00:00", TemporalError::InvalidTimestamp, 0, 0},
      {"0000-01-01T00:00", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-01-00T00:00", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-01-02T", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-01-02\xE2", TemporalError::InvalidTimestamp, 0, 0},  // separator cut short
      {"2021-01-02\xF0\x9F", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-01-02Tnoon", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-01-02T03:04:05+01:00x", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-W0", TemporalError::MonthOutOfRange, 0, 0},  // the week is cut short
      {"2021-W01-", TemporalError::InvalidTimestamp, 0, 0},
      {"2021-01-0", TemporalError::InvalidTimestamp, 0, 0},
  };
  for (const Case& c : cases) {
    const std::string_view text(c.text);
    const char* placed = guard.Place(text);
    TimestampFields fields;
    const TemporalError error = try_parse_timestamp(placed, text.size(), &fields);
    EXPECT_EQ(error, c.error) << c.text;
    if (error == TemporalError::None && c.error == TemporalError::None) {
      EXPECT_EQ(fields.ToUnixSeconds(), c.expected_unix_seconds) << c.text;
      EXPECT_EQ(fields.microseconds, c.expected_microseconds) << c.text;
      EXPECT_EQ(fields.ToUnixMicroseconds(), c.expected_unix_seconds * 1000000 + c.expected_microseconds);
    }
    // The throwing form reports parse failures by its result and throws the rest.
    if (c.error == TemporalError::None || c.error == TemporalError::InvalidTimestamp) {
      EXPECT_EQ(parse_timestamp(placed, text.size(), &fields), c.error == TemporalError::None) << c.text;
    } else {
      EXPECT_EQ(MessageOf([&] { parse_timestamp(placed, text.size(), &fields); }), TemporalErrorMessage(c.error))
          << c.text;
    }
  }
  TimestampFields fields;
  ASSERT_EQ(try_parse_timestamp("2021-01-02T03:04:05+01:00", 25, &fields), TemporalError::None);
  EXPECT_EQ(fields.hour, 3);
  EXPECT_EQ(fields.second, 5 - 3600);  // the offset lands in the second field
}

TEST(TemporalParsingTest, Durations) {
  GuardedText guard;
  struct Case {
    const char* text;
    TemporalError error;
    int64_t microseconds;
  };
  const TemporalError ok = TemporalError::None, format = TemporalError::DurationFormat,
                      invalid = TemporalError::InvalidDuration;
  const Case cases[] = {
      {"P1W", ok, 604800000000},
      {"1W", ok, 604800000000},
      {"P15250284W", ok, 15250284 * 604800000000},
      {"PT1H30M", ok, 5400000000},
      {"P1DT0.5S", ok, 86400500000},
      {"P1Y", ok, 360 * 24 * kHour},
      {"P1M", ok, 30 * 24 * kHour},
      {"PT1M", ok, 60000000},
      {"1D", ok, 24 * kHour},
      {"P1Y2M3DT4H5M6.7S", ok, ((360 + 60 + 3) * 24 + 4) * kHour + 5 * 60000000 + 6700000},
      {"PT.5S", ok, 500000},
      {"PT5.S", ok, 5000000},
      {"PT0.0000009S", ok, 0},  // truncated below a microsecond
      {"PT0S", ok, 0},
      {"P0D", ok, 0},
      {"PT1.5H", format, 0},
      {"P1.5Y", format, 0},
      {"PT1X", invalid, 0},
      {"PT-1S", invalid, 0},
      {"P1DT1HT", invalid, 0},
      {"P-1D", format, 0},
      {"P1X", format, 0},
      {"PW", format, 0},
      {"P1.5W", format, 0},
      {"PT1W", format, 0},
      {"P99999999999999999999W", format, 0},
      {"P15250285W", format, 0},  // the microseconds would overflow
      {"PYT1H", format, 0},       // a designator without digits
      {"PT1HMS", format, 0},
      {"PTS", format, 0},
      {"PT.S", format, 0},
      {"P1D5", format, 0},   // text after the last designator
      {"P5", format, 0},
      {"P1D1D", format, 0},
      {"P1M1Y", format, 0},  // designators out of order
      {"PT1S1M", format, 0},
      {"PT99999999999999999999S", format, 0},
      {"P9999999999999999Y", format, 0},
      {"", format, 0},
      {"P", format, 0},
      {"PT", format, 0},
      {"P1DT", format, 0},
  };
  for (const Case& c : cases) {
    const std::string_view text(c.text);
    const char* placed = guard.Place(text);
    int64_t microseconds = -1;
    const TemporalError error = try_parse_duration(placed, text.size(), &microseconds);
    EXPECT_EQ(error, c.error) << c.text;
    if (c.error == ok) {
      EXPECT_EQ(microseconds, c.microseconds) << c.text;
      EXPECT_EQ(parse_duration(placed, text.size()), c.microseconds);
    } else {
      EXPECT_EQ(MessageOf([&] { parse_duration(placed, text.size()); }), TemporalErrorMessage(c.error)) << c.text;
    }
  }
}

TEST(TemporalParsingTest, RandomTextsStayInBoundsAndGiveSaneResults) {
  // Texts made of the characters the grammars care about, each ending at an unreadable
  // page: no parser may read past the end, crash or overflow, and whatever parses must
  // lie in range.
  GuardedText guard;
  static const char kAlphabet[] = "0123456789012345678901234567890123456789-:+.,TWZPYMDHS x\xE2\xF0\xC3";
  uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  // Half the texts are valid samples with a few characters replaced and the end cut.
  static const std::string_view kSeeds[] = {"2021-01-02T03:04:05.123456+01:30", "20210102T030405Z",
                                            "2020-W53-5 23:59:59,5-12:00",      "P1Y2M3DT4H5M6.7S",
                                            "PT99H99M99.999999S",               "P12W",
                                            "T23:59:59.9999999",                "9999-12-31"};
  char buffer[40];
  int64_t parsed = 0;
  for (int round = 0; round < 200000; ++round) {
    size_t length;
    if (round % 2 == 0) {
      const std::string_view seed = kSeeds[next() % std::size(kSeeds)];
      length = seed.size() - next() % 4;
      std::memcpy(buffer, seed.data(), length);
      for (uint64_t edits = next() % 3; edits > 0; --edits) {
        buffer[next() % length] = kAlphabet[next() % (sizeof kAlphabet - 1)];
      }
    } else {
      length = next() % 26;
      for (size_t i = 0; i < length; ++i) buffer[i] = kAlphabet[next() % (sizeof kAlphabet - 1)];
    }
    const char* text = guard.Place(std::string_view(buffer, length));

    int64_t ticks;
    if (try_parse_date(text, length, &ticks) == TemporalError::None) {
      ++parsed;
      ASSERT_GE(ticks, -719162 * kTicksPerDay) << std::string_view(buffer, length);
      ASSERT_LE(ticks, 2932896 * kTicksPerDay) << std::string_view(buffer, length);
      ASSERT_EQ(ticks % kTicksPerDay, 0);
    }
    int64_t microseconds;
    if (try_parse_time_of_day(text, length, &microseconds) == TemporalError::None) {
      ++parsed;
      ASSERT_GE(microseconds, 0) << std::string_view(buffer, length);
      ASSERT_LT(microseconds, 2 * 86400000000LL) << std::string_view(buffer, length);
    }
    TimestampFields fields;
    if (try_parse_timestamp(text, length, &fields) == TemporalError::None) {
      ++parsed;
      ASSERT_TRUE(fields.year >= 1 && fields.month >= 1 && fields.month <= 12 && fields.day >= 1)
          << std::string_view(buffer, length);
      ASSERT_TRUE(fields.microseconds >= 0 && fields.microseconds <= 999999);
    }
    if (try_parse_duration(text, length, &microseconds) == TemporalError::None) {
      ++parsed;
      ASSERT_GE(microseconds, 0) << std::string_view(buffer, length);
    }
  }
  EXPECT_GT(parsed, 10000);
}
