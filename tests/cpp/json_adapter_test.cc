#include <gtest/gtest.h>
#include <simdjson.h>

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/padded_buffer.h"
#include "engine/persistence/scan/scan_context.h"
#include "json/simdjson_adapter.h"
#include "json/structural_walk.h"
#include "values/field_paths.h"
#include "values/value_polynomial.h"

using psfstore::adapter::FieldRef;
using psfstore::adapter::ParsedRecord;
using psfstore::adapter::SIMDJsonAdapter;
using psfstore::core::PaddedBuffer;
using psfstore::core::PaddedView;
using psfstore::core::Status;

namespace {

struct Document {
  std::string payload;
  std::vector<std::pair<uint32_t, std::string>> fields;  // field index, token
};

// Loads `text` and returns every record, or fails the test when it is refused.
std::vector<Document> Split(SIMDJsonAdapter& adapter, const PaddedBuffer& buffer) {
  std::vector<Document> documents;
  Status status = adapter.Load(buffer);
  EXPECT_EQ(status, Status::Ok) << status;
  while (adapter.HasNext()) {
    ParsedRecord record = adapter.NextRecord();
    Document document{std::string{record.payload}, {}};
    for (const FieldRef& field : record.fields) document.fields.emplace_back(field.index, std::string{field.token});
    documents.push_back(std::move(document));
  }
  return documents;
}

std::vector<Document> Split(std::string_view text, std::vector<std::string> fields = {}) {
  SIMDJsonAdapter adapter{std::move(fields)};
  PaddedBuffer buffer{text};
  return Split(adapter, buffer);
}

std::vector<std::string> Payloads(const std::vector<Document>& documents) {
  std::vector<std::string> payloads;
  for (const auto& document : documents) payloads.push_back(document.payload);
  return payloads;
}

// The offset at which `text` is refused, or -1 when it is accepted.
int64_t RefusedAt(std::string_view text, std::vector<std::string> fields = {}) {
  SIMDJsonAdapter adapter{std::move(fields)};
  PaddedBuffer buffer{text};
  const Status status = adapter.Load(buffer);
  if (status == Status::Ok) return -1;
  EXPECT_FALSE(adapter.HasNext());
  EXPECT_EQ(adapter.record_count(), 0u);
  EXPECT_EQ(status.message().find("malformed JSON at byte " + std::to_string(adapter.fault_offset()) + ": "), 0u);
  return static_cast<int64_t>(adapter.fault_offset());
}

}  // namespace

TEST(PaddedBufferTest, KeepsZeroPaddingAndRefusesShortCapacity) {
  PaddedBuffer buffer;
  EXPECT_TRUE(buffer.view().empty());
  buffer.Assign(std::string(5000, 'x'));
  size_t capacity = buffer.capacity();
  EXPECT_GE(capacity, 5000 + PaddedView::kPaddingBytes);
  buffer.Assign("ab");
  EXPECT_EQ(buffer.capacity(), capacity) << "capacity is reused, never shrunk";
  EXPECT_EQ(buffer.view().text(), "ab");
  for (size_t i = 0; i < PaddedView::kPaddingBytes; ++i) ASSERT_EQ(buffer.data()[2 + i], 0);

  char memory[100] = {};
  EXPECT_THROW(PaddedView::FromPaddedMemory(memory, 40, 100), std::invalid_argument);
  EXPECT_THROW(PaddedView::FromPaddedMemory(memory, 200, 100), std::invalid_argument);
  EXPECT_EQ(PaddedView::FromPaddedMemory(memory, 36, 100).size(), 36u);
}

// Text is read in place only when its padding lies in its last page: a batch that ends
// just before an unreadable page is copied, and either way loads alike.
TEST(PaddedBufferTest, ReadsInPlaceOnlyWithinTheLastPage) {
  const size_t page = 4096;
  char* pages = static_cast<char*>(mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(pages, MAP_FAILED);
  ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
  const std::string record = "{\"a\":12}\n";
  for (size_t room : {size_t{0}, size_t{10}, PaddedView::kPaddingBytes, PaddedView::kPaddingBytes + 100}) {
    char* begin = pages + page - room - record.size();
    std::memcpy(begin, record.data(), record.size());
    PaddedBuffer copy;
    const PaddedView view = copy.InPlaceOrCopy({begin, record.size()});
    const bool in_place = view.data() == begin;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    EXPECT_FALSE(in_place);
#else
    EXPECT_EQ(in_place, room >= PaddedView::kPaddingBytes) << room;
#endif
    SIMDJsonAdapter adapter{{"/a"}};
    ASSERT_EQ(adapter.Load(view), Status::Ok) << room;
    EXPECT_EQ(adapter.NextRecord().fields[0].value.int64_unchecked(), 12) << room;
  }
  munmap(pages, 2 * page);
}

TEST(JsonAdapterTest, SplitsDocumentsSeparatedByAnyWhiteSpace) {
  EXPECT_EQ(Payloads(Split("{\"a\":1}\n{\"a\":2}\n{\"a\":3}\n")),
            (std::vector<std::string>{"{\"a\":1}", "{\"a\":2}", "{\"a\":3}"}));
  EXPECT_EQ(Payloads(Split(" \t\r\n{\"a\": 1 }\r\n\t [1, 2]   \"text\"\n 42 true null{}\n")),
            (std::vector<std::string>{"{\"a\": 1 }", "[1, 2]", "\"text\"", "42", "true", "null", "{}"}));
  EXPECT_EQ(Payloads(Split("{}{}[]")), (std::vector<std::string>{"{}", "{}", "[]"}));
  // Nothing but white space is a batch of no documents.
  EXPECT_TRUE(Split("").empty());
  EXPECT_TRUE(Split(" \n\t\r ").empty());
  // The smallest payloads.
  EXPECT_EQ(Payloads(Split("1")), (std::vector<std::string>{"1"}));
  EXPECT_EQ(Payloads(Split("7\n")), (std::vector<std::string>{"7"}));
  EXPECT_EQ(RefusedAt("{"), 0);
  EXPECT_EQ(RefusedAt("x"), 0);
}

TEST(JsonAdapterTest, RefusesWholeBatchAtFirstFault) {
  const std::string good = "{\"a\":1}\n";
  // A malformed document in the middle: the good ones around it are not handed out.
  EXPECT_EQ(RefusedAt(good + "{\"a\":}\n" + good), static_cast<int64_t>(good.size() + 5));
  EXPECT_EQ(RefusedAt(good + "{\"a\":tru}\n" + good), static_cast<int64_t>(good.size() + 5));
  EXPECT_EQ(RefusedAt(good + "{\"a\":nul}\n"), static_cast<int64_t>(good.size() + 5));
  EXPECT_EQ(RefusedAt(good + "{\"a\":01}\n"), static_cast<int64_t>(good.size() + 5));
  EXPECT_EQ(RefusedAt(good + "{\"a\":1,}\n"), static_cast<int64_t>(good.size()) + 7);
  EXPECT_GE(RefusedAt(good + "[1 2]\n"), static_cast<int64_t>(good.size()));
  EXPECT_GE(RefusedAt(good + "{\"a\" 1}\n"), static_cast<int64_t>(good.size()));
  EXPECT_GE(RefusedAt(good + "{\"a\":[1,2}\n"), static_cast<int64_t>(good.size()));
  // Bad escapes inside values and keys, not only in projected fields.
  EXPECT_EQ(RefusedAt(good + "{\"a\":\"x\\q\"}"), static_cast<int64_t>(good.size() + 5));
  EXPECT_GE(RefusedAt(good + "{\"\\q\":1}"), static_cast<int64_t>(good.size()));
  // A truncated last document.
  EXPECT_EQ(RefusedAt(good + good + "{\"a\":[1,"), static_cast<int64_t>(2 * good.size()));
  EXPECT_EQ(RefusedAt(good + "  {\"a\""), static_cast<int64_t>(good.size() + 2));
  // Trailing garbage.
  EXPECT_EQ(RefusedAt(good + "xyz"), static_cast<int64_t>(good.size()));
  EXPECT_GE(RefusedAt(good + "}"), static_cast<int64_t>(good.size()) - 1);
  EXPECT_GE(RefusedAt(good + "]\n" + good), static_cast<int64_t>(good.size()) - 1);
  // An unclosed string and invalid UTF-8 are found by the first pass; the offset still names them.
  EXPECT_EQ(RefusedAt(good + "{\"a\":\"abc}"), static_cast<int64_t>(good.size() + 5));
  EXPECT_EQ(RefusedAt(good + "{\"a\":\"abc}\n"), static_cast<int64_t>(good.size() + 10)) << "raw new line in a string";
  EXPECT_EQ(RefusedAt(good + "{\"a\":\"\xC3\x28\"}\n"), static_cast<int64_t>(good.size() + 6));
  // Nesting deeper than the limit.
  std::string deep = std::string(SIMDJsonAdapter::kMaxDepth + 1, '[') + std::string(SIMDJsonAdapter::kMaxDepth + 1, ']');
  EXPECT_GE(RefusedAt(good + deep), static_cast<int64_t>(good.size()));
  std::string deepest = std::string(SIMDJsonAdapter::kMaxDepth, '[') + std::string(SIMDJsonAdapter::kMaxDepth, ']');
  EXPECT_EQ(RefusedAt(good + deepest), -1);
}

TEST(JsonAdapterTest, RefusedBatchLeavesNoRecordsAndParserStaysUsable) {
  SIMDJsonAdapter adapter{{"/a"}};
  PaddedBuffer bad{"{\"a\":1}\n{\"a\":\n"};
  EXPECT_EQ(adapter.Load(bad), Status::Corruption);
  EXPECT_FALSE(adapter.HasNext());
  PaddedBuffer good{"{\"a\":5}"};
  auto documents = Split(adapter, good);
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0].fields, (std::vector<std::pair<uint32_t, std::string>>{{0, "5"}}));
}

TEST(JsonAdapterTest, FindsFieldsByPointer) {
  std::vector<std::string> fields = {"/name", "/nested/inner", "/list/1", "", "a", "/a~1b", "/t~0", "/missing", "/"};
  auto documents = Split(
      "{\"name\" : \"x\\\"y\" , \"nested\":{\"inner\":-1.5e3,\"other\":[1,{}]},\"list\":[true, false ],"
      "\"a/b\":null,\"t~\":{\"k\":1},\"\":7}\n"
      "[1,2]\n"
      "{\"nested\":{\"deeper\":{\"inner\":1}},\"list\":[9],\"name\":12}\n",
      fields);
  ASSERT_EQ(documents.size(), 3u);
  // Tokens are the values' exact text, without the white space before the next comma.
  EXPECT_EQ(documents[0].fields, (std::vector<std::pair<uint32_t, std::string>>{
                                     {0, "\"x\\\"y\""}, {1, "-1.5e3"}, {2, "false"}, {3, "{"}, {5, "null"}, {6, "{"}, {8, "7"}}));
  // The empty name selects a top-level array too; nothing else matches in it.
  EXPECT_EQ(documents[1].fields, (std::vector<std::pair<uint32_t, std::string>>{{3, "["}}));
  EXPECT_EQ(documents[2].fields, (std::vector<std::pair<uint32_t, std::string>>{{0, "12"}, {3, "{"}}));
  // Scalar documents select nothing, not even with the empty name.
  EXPECT_TRUE(Split("42 \"s\"", fields)[0].fields.empty());
}

TEST(JsonAdapterTest, FirstDuplicateKeyWinsAndEscapedKeysMatch) {
  auto documents = Split("{\"a\":1,\"a\":2,\"\\u0062\":3}", {"/a", "/b"});
  ASSERT_EQ(documents.size(), 1u);
  EXPECT_EQ(documents[0].fields, (std::vector<std::pair<uint32_t, std::string>>{{0, "1"}, {1, "3"}}));
  // Array indexes: no leading zeros, no "-".
  auto listed = Split("{\"l\":[10,11,12]}", {"/l/00", "/l/-", "/l/2", "/l/3"});
  EXPECT_EQ(listed[0].fields, (std::vector<std::pair<uint32_t, std::string>>{{2, "12"}}));
}

TEST(JsonAdapterTest, DocumentsSpanningLargeInputKeepTheirFields) {
  // Documents far larger than a page of input and many small ones after them.
  std::string big = "{\"pad\":\"" + std::string(3 << 20, 'p') + "\",\"k\":\"end\"}\n";
  std::string text = big;
  for (int i = 0; i < 10000; ++i) text += "{\"k\":" + std::to_string(i) + ",\"pad\":[" + std::string(i % 7, ' ') + "]}\n";
  text += big;
  auto documents = Split(text, {"/k"});
  ASSERT_EQ(documents.size(), 10002u);
  EXPECT_EQ(documents[0].payload, big.substr(0, big.size() - 1));
  EXPECT_EQ(documents[0].fields[0].second, "\"end\"");
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(documents[i + 1].fields[0].second, std::to_string(i));
  EXPECT_EQ(documents[10001].fields[0].second, "\"end\"");
}

TEST(JsonAdapterTest, RefusesDocumentLargerThanRecordLimit) {
  std::string huge = "\"" + std::string(SIMDJsonAdapter::kMaxDocumentSize, 'h') + "\"";
  EXPECT_EQ(RefusedAt("1\n" + huge), 2);
}

TEST(JsonAdapterTest, ValidNumbersBeyondMachineRangeAreAcceptedWithTheSameFields) {
  // The library's fast checker refuses integers beyond 64 bits and numbers beyond the
  // double range, though they are valid JSON; the batch then goes through the slower
  // checking walk, which must split and find fields exactly as the fast path does.
  std::vector<std::string> fields = {"/k", "/n/1", ""};
  std::string text;
  for (int i = 0; i < 50; ++i) {
    text += "{\"k\":\"v" + std::to_string(i) + "\",\"n\":[" + std::to_string(i) + "," + std::to_string(-i) + ".5e1]}\n";
  }
  auto fast = Split(text, fields);
  auto slow = Split(text + "{\"big\":123456789012345678901234567890,\"huge\":1e400,\"k\":-0}", fields);
  ASSERT_EQ(fast.size(), 50u);
  ASSERT_EQ(slow.size(), 51u);
  for (size_t i = 0; i < fast.size(); ++i) {
    EXPECT_EQ(fast[i].payload, slow[i].payload);
    EXPECT_EQ(fast[i].fields, slow[i].fields);
  }
  EXPECT_EQ(slow[50].fields, (std::vector<std::pair<uint32_t, std::string>>{{0, "-0"}, {2, "{"}}));
  // Still refused: what is not JSON at all.
  EXPECT_EQ(RefusedAt(text + "{\"k\":1e}"), static_cast<int64_t>(text.size() + 5));
  EXPECT_EQ(RefusedAt(text + "{\"k\":-}"), static_cast<int64_t>(text.size() + 5));
  EXPECT_EQ(RefusedAt(text + "{\"k\":.5}"), static_cast<int64_t>(text.size() + 5));
}

TEST(JsonAdapterTest, BatchesLargerThanOneWindowSplitTheSame) {
  // Batches beyond the largest window are split in several windows; documents cross
  // window edges. A small window limit shows the same records and fields as one window.
  std::string text;
  for (int i = 0; i < 20000; ++i) {
    text += "{\"i\":" + std::to_string(i) + ",\"s\":\"" + std::string(i % 53, 'x') + "\",\"o\":{\"k\":[" +
            std::to_string(i % 3) + "]}}" + (i % 5 ? "\n" : " \t");
  }
  ASSERT_GT(text.size(), size_t{1} << 20);
  std::vector<std::string> fields = {"/i", "/o/k/0"};
  auto whole = Split(text, fields);
  SIMDJsonAdapter windowed{fields, 256 << 10};
  PaddedBuffer buffer{text};
  auto split = Split(windowed, buffer);
  ASSERT_EQ(whole.size(), 20000u);
  ASSERT_EQ(split.size(), whole.size());
  for (size_t i = 0; i < whole.size(); ++i) {
    ASSERT_EQ(split[i].payload, whole[i].payload) << i;
    ASSERT_EQ(split[i].fields, whole[i].fields) << i;
    ASSERT_EQ(split[i].fields[0].second, std::to_string(i));
  }
  // A document that does not fit in a window is refused, not cut.
  SIMDJsonAdapter small_window{fields, 1 << 20};
  PaddedBuffer too_big{"{\"i\":1}\n\"" + std::string(2 << 20, 'y') + "\"\n"};
  EXPECT_EQ(small_window.Load(too_big), Status::Corruption);
  EXPECT_FALSE(small_window.HasNext());
}

// Every record's text and every field's token and value, for comparing two loads.
std::string Described(SIMDJsonAdapter& adapter) {
  std::string described;
  for (size_t r = 0; r < adapter.record_count(); ++r) {
    ParsedRecord record = adapter.record(r);
    described.append(record.payload).append(" |");
    for (const FieldRef& field : record.fields) {
      uint64_t words[3];
      field.value.WriteWords(words);
      described += " " + std::to_string(field.index) + ":" + std::string{field.token} + "=" +
                   std::to_string(words[0]) + "/" + std::to_string(static_cast<int>(field.value_error)) + "/";
      described += field.value.type() == recorder::data::GenericValue::Type::String
                       ? std::string{field.value.String()}
                       : std::to_string(words[1]) + "/" + std::to_string(words[2]);
      // A polynomial left for the key's hash must be that of the value's bytes.
      const std::string_view bytes = field.value.bytes();
      if (field.has_value_polynomial &&
          field.value_polynomial != recorder::data::ContinueValuePolynomial(0, bytes.data(), bytes.size())) {
        described += " (wrong value polynomial)";
      }
    }
    described += '\n';
  }
  return described;
}

// Random damage to a valid batch: the adapter must never crash, must accept exactly
// what is JSON (the library's complete parser agrees except on numbers beyond machine
// range, which are valid JSON), and must give the same records, fields and values
// whichever path a batch takes (one pass, or the check then the walk) and wherever
// its check runs.
TEST(JsonAdapterTest, RandomlyDamagedBatchesAreJudgedLikeTheLibrary) {
  const std::string base =
      "{\"a\":1,\"b\":[true,false,null,-2.5e-3],\"c\":{\"d\":\"x\\\\y\\u00e9\",\"e\":{\"f\":[]}}}\n"
      "[1,{\"a\":\"q\"},[[]]]  \"s\"\n"
      "{\"a\":{\"a\":{\"a\":0}},\"z\":\"\\\"\",\"\\u0061\":2}\n"
      "{\"n\":[-0,0.1,1E22,12345678901234567890,1.7976931348623157e308,5e-324,-0.0,123456789012345678,"
      "9007199254740993.0,4.35,\"\\ud83d\\ude00\"]}\n";
  const char alphabet[] = "{}[]:,\"\\ \n\t0123456789-+.eEtrufalsn/ux~\x01\xC3\xFF";
  // QUILLMARK_FUZZ_ROUNDS and QUILLMARK_FUZZ_SEED run longer searches by hand.
  std::mt19937 random(getenv("QUILLMARK_FUZZ_SEED") ? std::atoi(getenv("QUILLMARK_FUZZ_SEED")) : 12345);
  // "/c/e" ends at an object: its members lie below every field's last step.
  std::vector<std::string> fields = {"/a", "/b/3", "/c/d", "/c/e", ""};
  for (int n = 0; n < 11; ++n) fields.push_back("/n/" + std::to_string(n));
  {
    // The comparison below means something only if the one pass takes the undamaged batch.
    psfstore::adapter::FieldLookup lookup{fields};
    psfstore::adapter::StructuralWalk one_pass{lookup};
    simdjson::ondemand::parser scalar_parser;
    std::vector<psfstore::adapter::DocumentSpan> documents;
    std::vector<FieldRef> found;
    PaddedBuffer buffer{base};
    ASSERT_TRUE(one_pass.Run(buffer, scalar_parser, documents, found));
    EXPECT_EQ(documents.size(), 5u);
  }
  simdjson::dom::parser library;
  int accepted = 0;
  const int rounds = getenv("QUILLMARK_FUZZ_ROUNDS") ? std::atoi(getenv("QUILLMARK_FUZZ_ROUNDS")) : 3000;
  for (int round = 0; round < rounds; ++round) {
    std::string text = base;
    int edits = 1 + random() % 3;
    for (int e = 0; e < edits; ++e) {
      size_t at = random() % text.size();
      switch (random() % 3) {
        case 0: text[at] = alphabet[random() % (sizeof alphabet - 1)]; break;
        case 1: text.erase(at, 1); break;
        default: text.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]);
      }
    }
    SIMDJsonAdapter adapter{fields};
    PaddedBuffer buffer{text};
    const Status loaded = adapter.Load(buffer);
    bool ok = loaded == Status::Ok;
    // The check then the walk, with the check on a helper thread, judges alike.
    SIMDJsonAdapter beside{fields};
    beside.set_passes(SIMDJsonAdapter::Passes::CheckThenWalk);
    beside.set_check_placement(SIMDJsonAdapter::CheckPlacement::Helper);
    const Status loaded_beside = beside.Load(buffer);
    ASSERT_EQ(loaded_beside, loaded) << text;
    ASSERT_EQ(loaded_beside.message(), loaded.message()) << text;
    ASSERT_EQ(Described(beside), Described(adapter)) << text;

    // The library's verdict on the same text.
    simdjson::padded_string padded{text};
    simdjson::dom::document_stream stream;
    bool library_ok = !library.parse_many(padded).get(stream);
    simdjson::error_code library_error = simdjson::SUCCESS;
    if (library_ok) {
      for (auto document : stream) {
        if (document.error()) {
          library_ok = false;
          library_error = document.error();
          break;
        }
      }
      if (library_ok && stream.truncated_bytes() != 0) library_ok = false;
    }
    if (library_ok) {
      ASSERT_TRUE(ok) << "valid JSON refused: " << text << "\n" << loaded;
    } else if (ok) {
      // Newer library versions name integers beyond 64 bits with an error of their own.
      const std::string_view message = simdjson::error_message(library_error);
      ASSERT_TRUE(library_error == simdjson::NUMBER_ERROR || message.find("integer") != std::string_view::npos)
          << "accepted what is not JSON: " << text << " (" << simdjson::error_message(library_error) << ")";
    }
    if (!ok) {
      ASSERT_LE(adapter.fault_offset(), text.size());
      continue;
    }
    ++accepted;
    // The same batch through the checking walk: the library refuses the extra number.
    std::vector<Document> fast;
    while (adapter.HasNext()) {
      ParsedRecord record = adapter.NextRecord();
      Document document{std::string{record.payload}, {}};
      for (const FieldRef& field : record.fields) document.fields.emplace_back(field.index, std::string{field.token});
      fast.push_back(std::move(document));
    }
    PaddedBuffer forced{text + "\n1e400\n"};
    SIMDJsonAdapter walker{fields};
    walker.set_passes(SIMDJsonAdapter::Passes::CheckThenWalk);
    auto slow = Split(walker, forced);
    ASSERT_EQ(slow.size(), fast.size() + 1) << text;
    for (size_t i = 0; i < fast.size(); ++i) {
      ASSERT_EQ(slow[i].payload, fast[i].payload) << text;
      ASSERT_EQ(slow[i].fields, fast[i].fields) << text;
    }
  }
  EXPECT_GT(accepted, 100);
}

// The one pass runs the library's first stage over chunks cut after line feeds; a
// document may span chunks, a line may be longer than a chunk, a chunk may hold only
// white space. Whatever the cut, it must judge and split like the exact path.
TEST(JsonAdapterTest, OnePassAcrossChunksJudgesLikeTheExactPath) {
  using psfstore::adapter::StructuralWalk;
  std::string pretty;
  for (int i = 0; pretty.size() < 3 * StructuralWalk::kChunkBytes; ++i) {
    pretty += "{\n  \"id\": " + std::to_string(i) + ",\n  \"tags\": [\n    \"t" + std::to_string(i % 7) +
              "\",\n    " + std::to_string(i * 0.5) + "\n  ],\n  \"note\": \"a\\nb\"\n}\n";
  }
  const std::string long_line = "{\"id\":-1,\"tags\":[\"" + std::string(StructuralWalk::kChunkBytes * 2, 'x') + "\"]}\n";
  const size_t middle = pretty.rfind("\"id\"", StructuralWalk::kChunkBytes);  // near the first cut
  struct Case {
    const char* name;
    std::string text;
    bool one_pass_accepts;
  };
  const std::vector<Case> cases = {
      {"documents spanning chunks", pretty, true},
      {"a line longer than a chunk", pretty + long_line + pretty, true},
      {"a chunk of white space only", pretty + std::string(3 * StructuralWalk::kChunkBytes, '\n') + "7", true},
      {"a raw line feed in a string", pretty.substr(0, middle) + "\"i\nd\"" + pretty.substr(middle + 4), false},
      {"an unclosed bracket at the end", pretty + "[\n", false},
      {"a missing comma near a cut", pretty.substr(0, pretty.find(',', middle)) + pretty.substr(pretty.find(',', middle) + 1),
       false},
  };
  const std::vector<std::string> fields = {"/id", "/tags/1", "/note"};
  for (const Case& c : cases) {
    PaddedBuffer buffer{c.text};
    psfstore::adapter::FieldLookup lookup{fields};
    StructuralWalk walk{lookup};
    simdjson::ondemand::parser scalar_parser;
    std::vector<psfstore::adapter::DocumentSpan> documents;
    std::vector<FieldRef> found;
    EXPECT_EQ(walk.Run(buffer, scalar_parser, documents, found), c.one_pass_accepts) << c.name;

    SIMDJsonAdapter one{fields}, exact{fields};
    exact.set_passes(SIMDJsonAdapter::Passes::CheckThenWalk);
    const Status one_status = one.Load(buffer), exact_status = exact.Load(buffer);
    EXPECT_EQ(one_status.ToString(), exact_status.ToString()) << c.name;
    EXPECT_EQ(Described(one), Described(exact)) << c.name;
    EXPECT_EQ(one_status == Status::Ok, c.one_pass_accepts) << c.name;
  }
}

// The padding past a batch need only be readable: a token that would only be complete
// with the bytes after the end (a number, a literal) is not taken as complete.
TEST(JsonAdapterTest, OnePassTakesNothingPastTheEndForText) {
  for (std::string_view text : {"12.", "1e", "-", "tru", "fals", "nul"}) {
    std::string memory = std::string{text} + "5e1true" + std::string(PaddedView::kPaddingBytes, '7');
    const PaddedView view = PaddedView::FromPaddedMemory(memory.data(), text.size(), memory.size());
    psfstore::adapter::FieldLookup lookup{{"/a"}};
    psfstore::adapter::StructuralWalk walk{lookup};
    simdjson::ondemand::parser scalar_parser;
    std::vector<psfstore::adapter::DocumentSpan> documents;
    std::vector<FieldRef> found;
    EXPECT_FALSE(walk.Run(view, scalar_parser, documents, found)) << text;
  }
}

// The three readers of a field (the insert path's adapter, a full scan, an extraction's
// path walk) answer alike: member names are compared after JSON unescaping, "~0" and
// "~1" keep their meaning, and the first member with the name wins.
TEST(JsonAdapterTest, InsertsScansAndExtractionSelectTheSameMember) {
  struct Case {
    const char* record;
    const char* pointer;
    const char* token;  // the value selected, or nullptr for none
  };
  const Case cases[] = {
      {R"({"a\u0062": 1})", "/ab", "1"},
      {R"({"ab": 2})", "/a\\u0062", nullptr},
      {R"({"a\"b": 3})", "/a\"b", "3"},
      {R"({"a\\b": 4})", "/a\\b", "4"},
      {R"({"a\/b": 5, "a/b": 6})", "/a~1b", "5"},
      {R"({"~": 7, "~0": 8})", "/~0", "7"},
      {R"({"a": 1, "a\u0062c": 9})", "/abc", "9"},
      {R"({"abc": 1, "ab": 10})", "/ab", "10"},
      {R"({"ab\"": 1, "ab": 11})", "/ab", "11"},
      {R"({"x": {"\u00e9": [12, 13]}})", "/x/\xc3\xa9/1", "13"},
      {R"({"ab": 14, "a\u0062": 15})", "/ab", "14"},
      {R"({"a": 16})", "/a~2", nullptr},
      {R"({"a": [17]})", "/a/00", nullptr},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(std::string{test.record} + " " + test.pointer);
    const std::string expected = test.token == nullptr ? "" : test.token;
    std::vector<Document> inserted = Split(test.record, {test.pointer});
    ASSERT_EQ(inserted.size(), 1u);
    EXPECT_EQ(inserted[0].fields.empty() ? "" : inserted[0].fields[0].second, expected);

    PaddedBuffer payload{std::string{test.record}};
    psfstore::core::BasicFullScanner scanner{test.pointer, [](const recorder::data::GenericValue&) { return true; }};
    EXPECT_EQ(scanner.Check(payload.data(), payload.size(), payload.size() + PaddedView::kPaddingBytes),
              test.token != nullptr);

    simdjson::ondemand::parser parser;
    simdjson::ondemand::document document;
    ASSERT_EQ(parser.iterate(payload.data(), payload.size(), payload.size() + PaddedView::kPaddingBytes).get(document),
              simdjson::SUCCESS);
    recorder::data::FieldPaths paths{{test.pointer}};
    std::string extracted;
    ASSERT_EQ(paths.Read(document, payload.data() + payload.size(),
                         [&](size_t, simdjson::ondemand::value& value) {
                           extracted = value.raw_json_token();
                         }),
              simdjson::SUCCESS);
    while (!extracted.empty() && (extracted.back() == ' ' || extracted.back() == ',' || extracted.back() == '}' ||
                                  extracted.back() == ']')) {
      extracted.pop_back();
    }
    EXPECT_EQ(extracted, expected);
  }
}
