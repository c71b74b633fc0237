#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <simdjson.h>

#include "engine/core/key_hash.h"
#include "engine/core/record.h"
#include "values/generic_value.h"

using recorder::data::GenericValue;
using recorder::data::JsonValueError;
using recorder::data::Operand;
using Type = GenericValue::Type;

namespace {

// Parses `json` and builds the value of the field at `pointer`, as the insert path,
// the scans and the extractions all do.
class FieldReader {
 public:
  JsonValueError Read(const std::string& json, GenericValue* out, const char* pointer = "/v") {
    text_ = simdjson::padded_string(json);
    EXPECT_EQ(parser_.iterate(text_).get(document_), simdjson::SUCCESS) << json;
    simdjson::ondemand::value value;
    EXPECT_EQ(document_.at_pointer(pointer).get(value), simdjson::SUCCESS) << json;
    return GenericValue::TryFromJson(value, out);
  }
  // Throwing form; the returned value views text_ and lives until the next Read.
  GenericValue ReadOrThrow(const std::string& json, const char* pointer = "/v") {
    text_ = simdjson::padded_string(json);
    document_ = parser_.iterate(text_);  // the value refers to the live document
    simdjson::ondemand::value value = document_.at_pointer(pointer);
    return GenericValue::FromJson(value);
  }

 private:
  simdjson::ondemand::parser parser_;
  simdjson::padded_string text_;
  simdjson::ondemand::document document_;
};

}  // namespace

TEST(GenericValueTest, StringTokensViewTheRawBytesBetweenTheQuotes) {
  struct Case {
    const char* json;
    std::string expected;
    const char* pointer = "/v";
  };
  const Case cases[] = {
      {R"({"v":"x","b":1})", "x"},
      // White space after the closing quote is not part of the value.
      {R"({"v": "x" , "b": 1})", "x"},
      {"{\"v\":\"x\"\t\r\n}", "x"},
      {R"({"v":""})", ""},
      {R"({"v":"  padded  " })", "  padded  "},
      // Escapes stay undecoded: four raw bytes a \ " b.
      {R"({"v":"a\"b"})", "a\\\"b"},
      {R"({"v":"ends in backslash\\" ,"w":2})", "ends in backslash\\\\"},
      {R"({"v":"comma, colon: and } brace"})", "comma, colon: and } brace"},
      {"{\"v\":\"caf\xC3\xA9\"}", "caf\xC3\xA9"},
      {R"({"a":{"v":"nested" }, "v":0})", "nested", "/a/v"},
  };
  FieldReader reader;
  for (const Case& c : cases) {
    GenericValue value;
    ASSERT_EQ(reader.Read(c.json, &value, c.pointer), JsonValueError::None) << c.json;
    ASSERT_EQ(value.type(), Type::String) << c.json;
    EXPECT_EQ(value.String(), c.expected) << c.json;
    EXPECT_EQ(value.length(), value.String().size());
  }
}

TEST(GenericValueTest, NumberTokensFollowTheSignedRangeAndParseExactly) {
  FieldReader reader;
  const std::pair<const char*, int64_t> integers[] = {
      {"0", 0},
      {"-0", 0},
      {"42", 42},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
  };
  for (const auto& [token, expected] : integers) {
    GenericValue value;
    ASSERT_EQ(reader.Read(std::string(R"({"v":)") + token + " }", &value), JsonValueError::None);
    ASSERT_EQ(value.type(), Type::Int64) << token;
    EXPECT_EQ(value.Int64(), expected) << token;
  }
  const std::pair<const char*, double> doubles[] = {
      {"3.0", 3.0},
      {"-0.0", -0.0},
      {"1e3", 1000.0},
      {"1.5E-3", 0.0015},
      {"0.1", 0.1},  // correctly rounded
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
      {"9223372036854775808.0", 9223372036854775808.0},  // misread by a combined number read
      {"123456789012345678901234567890.5", 123456789012345678901234567890.5},
  };
  for (const auto& [token, expected] : doubles) {
    GenericValue value;
    ASSERT_EQ(reader.Read(std::string(R"({"v":)") + token + "}", &value), JsonValueError::None);
    ASSERT_EQ(value.type(), Type::Double) << token;
    EXPECT_EQ(std::memcmp(&expected, value.bytes().data(), 8), 0) << token;  // sign of zero too
  }
  // Integers outside the signed 64-bit range cannot be represented: Empty, never an
  // error while the magnitude is within the double range (10^308 is).
  const std::string ten_to_308 = "1" + std::string(308, '0');
  for (const std::string& token : {std::string{"9223372036854775808"}, std::string{"18446744073709551615"},
                                   std::string{"18446744073709551616"}, std::string{"-9223372036854775809"},
                                   std::string{"123456789012345678901234567890"}, ten_to_308, "-" + ten_to_308}) {
    GenericValue value = GenericValue::OfInt64(7);
    ASSERT_EQ(reader.Read(std::string(R"({"v":)") + token + ",\"w\":1}", &value),
              JsonValueError::None)
        << token;
    EXPECT_EQ(value.type(), Type::Empty) << token;
    EXPECT_EQ(value.length(), 0u);
  }
  // Malformed numbers and doubles beyond the range are the library's number error.
  // So are integers beyond the double range, like the same numbers with an exponent.
  for (const std::string& token : {std::string{"01"}, std::string{"-"}, std::string{"1."}, std::string{"1e"},
                                   std::string{"-x"}, std::string{"1e400"}, std::string{"-01"}, std::string{"1.5.5"},
                                   ten_to_308 + "0", "-1" + std::string(400, '0')}) {
    GenericValue value;
    EXPECT_EQ(reader.Read(std::string(R"({"v":)") + token + "}", &value),
              JsonValueError::MalformedNumber)
        << token;
    try {
      reader.ReadOrThrow(std::string(R"({"v":)") + token + "}");
      ADD_FAILURE() << token << " did not throw";
    } catch (const simdjson::simdjson_error& error) {
      EXPECT_EQ(error.error(), simdjson::NUMBER_ERROR) << token;
      EXPECT_EQ(static_cast<int>(error.error()), 9);
    }
  }
}

TEST(GenericValueTest, WordsBoolsNonScalarsAndUnexpectedTokens) {
  FieldReader reader;
  const std::pair<const char*, Type> words[] = {
      {"true", Type::Bool}, {"false", Type::Bool}, {"true ", Type::Bool},
      {"tru", Type::Empty}, {"trueish", Type::Empty}, {"fals", Type::Empty},
      {"falsey", Type::Empty}, {"t", Type::Empty},
  };
  for (const auto& [token, type] : words) {
    GenericValue value = GenericValue::OfInt64(1);
    ASSERT_EQ(reader.Read(std::string(R"({"v":)") + token + "}", &value), JsonValueError::None)
        << token;
    EXPECT_EQ(value.type(), type) << token;
    if (type == Type::Bool) {
      EXPECT_EQ(value.Bool(), token[0] == 't');
      EXPECT_EQ(value.length(), 1u);
    }
  }
  for (const char* token : {"null", "[1,2]", "{\"a\":1}", "[]", "{}"}) {
    GenericValue value;
    EXPECT_EQ(reader.Read(std::string(R"({"v":)") + token + "}", &value), JsonValueError::NotScalar)
        << token;
    try {
      reader.ReadOrThrow(std::string(R"({"v":)") + token + "}");
      ADD_FAILURE() << token << " did not throw";
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), "The field does not contain a scalar type");
    }
  }
  try {
    reader.ReadOrThrow(R"({"v":@})");
    ADD_FAILURE() << "an unexpected token did not throw";
  } catch (const simdjson::simdjson_error& error) {
    EXPECT_EQ(error.error(), simdjson::TAPE_ERROR);
  }
}

TEST(GenericValueTest, OperandsAndTypedAccessors) {
  const std::vector<Operand> operands = {int64_t{-5}, 2.5, std::string("text"), true};
  const GenericValue int_value = GenericValue::FromOperand(operands[0]);
  const GenericValue double_value = GenericValue::FromOperand(operands[1]);
  const GenericValue string_value = GenericValue::FromOperand(operands[2]);
  const GenericValue bool_value = GenericValue::FromOperand(operands[3]);
  EXPECT_EQ(int_value.Int64(), -5);
  EXPECT_EQ(double_value.Double(), 2.5);
  EXPECT_EQ(string_value.String().data(), std::get<std::string>(operands[2]).data());  // a view
  EXPECT_EQ(bool_value.Bool(), true);

  const GenericValue all[] = {GenericValue{}, bool_value, int_value, double_value, string_value};
  for (const GenericValue& value : all) {
    const auto expect_wrong = [](auto&& access) {
      try {
        access();
        ADD_FAILURE() << "no exception";
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Wrong type request");
      }
    };
    if (value.type() != Type::Bool) expect_wrong([&] { (void)value.Bool(); });
    if (value.type() != Type::Int64) expect_wrong([&] { (void)value.Int64(); });
    if (value.type() != Type::Double) expect_wrong([&] { (void)value.Double(); });
    if (value.type() != Type::String) expect_wrong([&] { (void)value.String(); });
  }

  // The standard library never leaves this variant valueless (its string alternative is
  // built aside and moved in), so "Unrecognised type in variant" cannot be provoked here.
}

TEST(GenericValueTest, KeyPointerWordsAndHashedBytesAgreeBetweenRecordsAndOperands) {
  // A projection key computed at insert time from the record must equal the one a
  // query computes from its operand, or the chain lookup finds nothing.
  FieldReader reader;
  struct Case {
    const char* json;
    Operand operand;
    std::string expected_bytes;
  };
  const Case cases[] = {
      {R"({"v": "key" , "x": 0})", std::string("key"), "key"},
      {R"({"v":-2})", int64_t{-2}, std::string("\xFE\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 8)},
      {R"({"v":1.0})", 1.0, std::string("\x00\x00\x00\x00\x00\x00\xF0\x3F", 8)},
      {R"({"v":true})", true, std::string("\x01", 1)},
  };
  for (const Case& c : cases) {
    GenericValue from_record;
    ASSERT_EQ(reader.Read(c.json, &from_record), JsonValueError::None);
    const GenericValue from_operand = GenericValue::FromOperand(c.operand);
    EXPECT_EQ(from_record.bytes(), c.expected_bytes) << c.json;
    EXPECT_EQ(from_operand.bytes(), c.expected_bytes) << c.json;
    const auto record_hash = psfstore::core::KeyHash::OfGeneralKey(
        3, from_record.bytes().data(), from_record.bytes().size());
    const auto operand_hash = psfstore::core::KeyHash::OfGeneralKey(
        3, from_operand.bytes().data(), from_operand.bytes().size());
    EXPECT_EQ(record_hash, operand_hash) << c.json;

    // Through a key pointer's words 2-4 and back.
    psfstore::core::KeyPointer pointer = psfstore::core::KeyPointer::General(
        0, psfstore::core::Address{1}, 3, 0, static_cast<uint32_t>(from_record.length()));
    from_record.WriteWords(pointer.value_words());
    EXPECT_EQ(pointer.value_words()[0], static_cast<uint64_t>(from_record.type()));
    EXPECT_EQ(std::memcmp(pointer.value_words(), &from_record, sizeof(GenericValue)), 0);
    const GenericValue back = GenericValue::ReadWords(pointer.value_words());
    EXPECT_EQ(back.type(), from_record.type());
    EXPECT_EQ(back.bytes(), from_record.bytes());
    EXPECT_EQ(pointer.general_predicate_id(), 3u);  // the value did not spill into word 1

    // Read back from the log, a string views the record's copy of its bytes, never the
    // buffer the insert came from.
    const std::string log_copy(from_record.bytes());
    const GenericValue from_log = GenericValue::FromKeyPointerWords(pointer.value_words(), log_copy.data());
    EXPECT_TRUE(recorder::data::equal(from_log, from_operand)) << c.json;
    if (from_log.type() == Type::String) {
      EXPECT_EQ(from_log.String().data(), log_copy.data());
    }
  }
  uint64_t words[3] = {~0ull, ~0ull, ~0ull};
  GenericValue{}.WriteWords(words);
  EXPECT_EQ(words[0], 0u);
  EXPECT_EQ(words[2], 0u);
  EXPECT_TRUE(GenericValue{}.bytes().empty());
}
