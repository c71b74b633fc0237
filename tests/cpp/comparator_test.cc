#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "values/comparator.h"

using recorder::data::GenericValue;
using recorder::data::Operand;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;

namespace {

constexpr ScanOperation kTableOperations[] = {ScanOperation::EQ, ScanOperation::NE, ScanOperation::LT,
                                              ScanOperation::LE, ScanOperation::GT, ScanOperation::GE,
                                              ScanOperation::IN, ScanOperation::NI};

// Which of the eight operations hold for `value` against `operands`, as "EQ LE GE ...".
std::string Matching(const GenericValue& value, std::vector<Operand> operands) {
  const Comparator comparator(std::move(operands));
  std::string result;
  for (ScanOperation operation : kTableOperations) {
    if (Comparator::Bind(operation, comparator)(value)) {
      if (!result.empty()) result += ' ';
      result += recorder::operations::ScanOperationName(operation);
    }
  }
  return result;
}

// A view of `text`, which must outlive the value (literals do).
GenericValue Str(std::string_view text) { return GenericValue::OfString(text); }

}  // namespace

TEST(ComparatorTest, OperationsAcrossTypesFollowTheDefinitions) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::string abc = "abc", high = "\xC3\xA9", empty;
  struct Case {
    GenericValue value;
    Operand operand;
    const char* expected;
  };
  const Case cases[] = {
      // No numeric promotion: 3.0 is not the integer 3, so GT and GE hold by negation.
      {GenericValue::OfDouble(3.0), int64_t{3}, "NE GT GE NI"},
      {GenericValue::OfInt64(3), int64_t{3}, "EQ LE GE IN"},
      {GenericValue::OfInt64(-4), int64_t{3}, "NE LT LE NI"},
      {GenericValue::OfInt64(std::numeric_limits<int64_t>::min()), int64_t{0}, "NE LT LE NI"},
      {GenericValue::OfInt64(5), int64_t{3}, "NE GT GE NI"},
      {GenericValue::OfString(abc), std::string("abd"), "NE LT LE NI"},
      {GenericValue::OfString(abc), std::string("ab"), "NE GT GE NI"},  // prefix is less
      {GenericValue::OfString(abc), std::string("abc"), "EQ LE GE IN"},
      {GenericValue::OfString(abc), std::string("abcd"), "NE LT LE NI"},
      {GenericValue::OfString(empty), std::string(""), "EQ LE GE IN"},
      {GenericValue::OfString(empty), std::string("a"), "NE LT LE NI"},
      // Bytes above 0x7F order after ASCII (unsigned comparison).
      {GenericValue::OfString(high), std::string("z"), "NE GT GE NI"},
      {GenericValue::OfString(abc), std::string("\xC3"), "NE LT LE NI"},
      // A Python True arrives as the integer 1: never equal to a JSON boolean.
      {GenericValue::OfBool(false), int64_t{1}, "NE GT GE NI"},
      {GenericValue::OfBool(true), int64_t{1}, "NE GT GE NI"},
      {GenericValue::OfInt64(1), int64_t{1}, "EQ LE GE IN"},
      {GenericValue::OfBool(false), true, "NE LT LE NI"},
      {GenericValue::OfBool(true), true, "EQ LE GE IN"},
      {GenericValue::OfBool(true), false, "NE GT GE NI"},
      // NaN equals nothing and is less than nothing.
      {GenericValue::OfDouble(nan), nan, "NE GT GE NI"},
      {GenericValue::OfDouble(nan), 1.0, "NE GT GE NI"},
      {GenericValue::OfDouble(1.0), nan, "NE GT GE NI"},
      {GenericValue::OfDouble(-0.0), 0.0, "EQ LE GE IN"},
      {GenericValue::OfDouble(-1e308), std::numeric_limits<double>::infinity(), "NE LT LE NI"},
      // Empty (a malformed word, an integer out of range) matches only through negations.
      {GenericValue{}, int64_t{0}, "NE GT GE NI"},
      {GenericValue{}, std::string(""), "NE GT GE NI"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Matching(c.value, {c.operand}), c.expected)
        << recorder::data::TypeName(c.value.type()) << " value, operand index " << c.operand.index();
  }
  // Two Empty values are equal, and an Empty is not less than anything.
  EXPECT_TRUE(recorder::data::equal(GenericValue{}, GenericValue{}));
  EXPECT_FALSE(recorder::data::less(GenericValue{}, GenericValue{}));
}

TEST(ComparatorTest, SameTypeOrderingIsConsistentOverAValueGrid) {
  // Within one type and without NaN, exactly one of LT, EQ, GT holds, and the order
  // matches an independent reference; strings compare as unsigned bytes.
  std::vector<std::string> texts = {"", "a", "ab", "abc", "abd", "b", "\x7F", "\x80", "\xFF", "\xFF\x00"};
  texts.back() = std::string("\xFF\0", 2);  // embedded NUL
  for (const std::string& left : texts) {
    for (const std::string& right : texts) {
      const bool reference_less = std::lexicographical_compare(
          left.begin(), left.end(), right.begin(), right.end(),
          [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
      const std::string got = Matching(Str(left), {right});
      const std::string expected = left == right ? "EQ LE GE IN" : reference_less ? "NE LT LE NI" : "NE GT GE NI";
      EXPECT_EQ(got, expected) << '"' << left << "\" vs \"" << right << '"';
    }
  }
  const int64_t integers[] = {std::numeric_limits<int64_t>::min(), -1, 0, 1, std::numeric_limits<int64_t>::max()};
  for (int64_t left : integers) {
    for (int64_t right : integers) {
      const std::string expected = left == right ? "EQ LE GE IN" : left < right ? "NE LT LE NI" : "NE GT GE NI";
      EXPECT_EQ(Matching(GenericValue::OfInt64(left), {right}), expected) << left << " vs " << right;
    }
  }
}

TEST(ComparatorTest, OperandListsForInAndNotIn) {
  // IN searches every operand; an empty list matches nothing and NI matches everything.
  const GenericValue one = GenericValue::OfInt64(1);
  const GenericValue one_double = GenericValue::OfDouble(1.0);
  const GenericValue one_text = Str("1");
  const std::vector<Operand> mixed = {int64_t{1}, std::string("1")};
  EXPECT_EQ(Matching(one, mixed), "EQ LE GE IN");
  EXPECT_EQ(Matching(one_double, mixed), "NE GT GE NI");
  EXPECT_EQ(Matching(one_text, mixed), "NE GT GE IN");  // EQ..GE look at operand 0 only
  const Comparator no_operands({});
  for (const GenericValue& value : {one, one_double, one_text, GenericValue{}}) {
    EXPECT_FALSE(Comparator::Bind(ScanOperation::IN, no_operands)(value));
    EXPECT_TRUE(Comparator::Bind(ScanOperation::NI, no_operands)(value));
  }
  // Long and short string operands stay valid for the comparator's whole life.
  const Comparator strings({std::string("s"), std::string(100, 'L'), int64_t{2}});
  const std::string long_text(100, 'L');
  EXPECT_TRUE(strings.In(Str("s")));
  EXPECT_TRUE(strings.In(Str(long_text)));
  EXPECT_TRUE(strings.In(GenericValue::OfInt64(2)));
  EXPECT_FALSE(strings.In(Str(long_text.substr(1))));
}

TEST(ComparatorTest, BindingRefusesUnknownOperationsAndMissingOperands) {
  const auto& table = Comparator::OperationTable();
  ASSERT_EQ(table.size(), 8u);
  for (uint8_t code = 0; code < 8; ++code) EXPECT_EQ(table.count(code), 1u) << int(code);

  const Comparator comparator({int64_t{1}});
  for (uint8_t code : {uint8_t{8}, uint8_t{9}, uint8_t{10}, uint8_t{255}}) {
    try {
      Comparator::Bind(static_cast<ScanOperation>(code), comparator);
      ADD_FAILURE() << int(code) << " was bound";
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "invalid map<K, T> key");
    }
  }
  // EQ..GE read operand 0: an empty list is refused before anything is compared, and
  // DEF/BTW still fail on the table lookup first.
  const Comparator empty({});
  for (ScanOperation operation : {ScanOperation::EQ, ScanOperation::NE, ScanOperation::LT,
                                  ScanOperation::LE, ScanOperation::GT, ScanOperation::GE}) {
    EXPECT_THROW(Comparator::Bind(operation, empty), std::invalid_argument);
  }
  EXPECT_THROW(Comparator::Bind(ScanOperation::DEF, empty), std::out_of_range);
  EXPECT_NO_THROW(Comparator::Bind(ScanOperation::IN, empty));
}

TEST(ComparatorTest, BoundPredicatesAreSharedReadOnlyAcrossThreads) {
  // Several scans may use the table and one comparator at once; each thread must see
  // the same answers as a single-threaded run.
  const Comparator comparator({std::string("m"), std::string("q")});
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const auto less_than = Comparator::Bind(t % 2 ? ScanOperation::LT : ScanOperation::IN, comparator);
      for (int i = 0; i < 20000; ++i) {
        const char letter = static_cast<char>('a' + i % 26);
        const bool expected = t % 2 ? letter < 'm' : (letter == 'm' || letter == 'q');
        if (less_than(GenericValue::OfString(&letter, 1)) != expected) mismatches.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
}
