// Inputs found by the fuzz targets in fuzz/, kept so the faults they exposed stay fixed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/padded_buffer.h"
#include "bitmap/bitmap.h"
#include "engine/core/psf_registry.h"
#include "engine/persistence/checkpoint/naming_checkpoint.h"
#include "json/simdjson_adapter.h"

namespace quillmark {
namespace storage {
namespace {

TEST(FuzzRegressionTest, NativeBitmapImageWithAnEmptyArrayBucketDecodes) {
  // Two buckets in the native format: key 0 an array of {1, 2, 3, 70000}, key 5 an
  // array of no values. Copying the empty array's values once passed a null pointer to
  // memcpy (undefined behaviour, reported by UBSan).
  const std::string image(
      "\x02\0\0\0\0\0\0\0"                  // two buckets
      "\0\0\0\0" "\x15\0\0\0\0\0\0\0"       // key 0, 21 bytes
      "\x01" "\x04\0\0\0" "\x01\0\0\0" "\x02\0\0\0" "\x03\0\0\0" "\x70\x11\x01\0"
      "\x05\0\0\0" "\x09\0\0\0\0\0\0\0"     // key 5, 9 bytes
      "\x01" "\0\0\0\0" "\0\0\0\0",         // an empty array, then unused bytes
      8 + 12 + 21 + 12 + 9);
  Bitmap bitmap = Bitmap::Read(image.data(), image.size(), /*portable=*/false);
  std::vector<uint64_t> members(bitmap.Cardinality());
  bitmap.CopyTo(members.data());
  EXPECT_EQ(members, (std::vector<uint64_t>{1, 2, 3, 70000}));
}

}  // namespace
}  // namespace storage
}  // namespace quillmark

namespace psfstore {
namespace core {
namespace {

TEST(FuzzRegressionTest, MalformedNamingFilesAreRefusedNotThrownOrAppliedHalfway) {
  // Each was accepted or threw before: a last line without a line break moved the
  // reader past the end (std::out_of_range out of recovery); the others parsed into a
  // registry that could not be rebuilt or written back.
  const char* const refused[] = {
      "2\n2\n/",                                // field names run to the end of the text
      "1\n/k\r\r\n0\n0\n0\n0\n0\n",             // a field name the next checkpoint cannot write
      "1\n\r\n0\n0\n0\n0\n0\n",                 // a field name that is empty once read
      "2\nk\nk\n0\n1\n1 1 -1 proj\n0\n1\n0\n0\n",  // a repeated name: the predicate's field 1 is gone
      "1\nk\n0\n1\n0 -1 proj\n0\n1\n0\n0\n",    // a projection of no field
      "1\nk\n0\n1\n1 0 -1 other\n0\n0\n0\n",    // a built-in predicate that is not a projection
      "1\nk\n0\n1\n1 0 -1 proj\n0\n1\n1\n0\n",                   // an active id of no predicate
  };
  for (const char* text : refused) {
    NamingCheckpoint parsed;
    const Status status = NamingCheckpoint::Parse(text, parsed);
    EXPECT_EQ(status, Status::Corruption) << text;
    EXPECT_FALSE(status.message().empty()) << text;
  }
  // Active ids are a set: in any order and repeated, they read as the sorted ids.
  const char* const active_sets[] = {
      "1\nk\n0\n2\n1 0 -1 proj\n1 0 -1 proj\n0\n2\n1\n0\n0\n",
      "1\nk\n0\n2\n1 0 -1 proj\n1 0 -1 proj\n0\n4\n1\n0\n1\n0\n0\n",
  };
  for (const char* text : active_sets) {
    NamingCheckpoint set;
    ASSERT_EQ(NamingCheckpoint::Parse(text, set), Status::Ok) << text;
    EXPECT_EQ(set.active_general, (std::vector<uint16_t>{0, 1})) << text;
  }
  NamingCheckpoint parsed;
  ASSERT_EQ(NamingCheckpoint::Parse("2\n/k\n/a b\n0\n2\n1 0 -1 proj\n1 1 -1 proj\n0\n2\n0\n1\n0", parsed), Status::Ok);
  PsfRegistry registry;
  ASSERT_EQ(parsed.ApplyTo(registry), Status::Ok);
  EXPECT_EQ(registry.general_psf_count(), 2u);
}

TEST(FuzzRegressionTest, ATopLevelNumberOrLiteralCutByAWindowIsRefusedNotStoredAsTwoRecords) {
  // Batches larger than the parser window are split in windows; a bare number across a
  // window's end came out as two valid numbers, two records where the batch had one.
  adapter::SIMDJsonAdapter windowed({"/a"}, 128);
  std::string batch;
  while (batch.size() < 120) batch += "{\"a\": 1}\n";
  std::string number(40, '7');
  PaddedBuffer cut{batch + number + "\n"};
  EXPECT_EQ(windowed.Load(cut), Status::Corruption);
  EXPECT_EQ(windowed.fault_offset(), batch.size());
  EXPECT_FALSE(windowed.HasNext());
  // A literal followed by a number is one bad token, also when a window cuts it.
  std::string literal_batch = batch.substr(0, 124) + "true2\n";
  PaddedBuffer literal{literal_batch};
  EXPECT_EQ(windowed.Load(literal), Status::Corruption);

  // The same number inside one window, and numbers apart from window ends, still load.
  PaddedBuffer whole{number + "\n" + batch};
  ASSERT_EQ(windowed.Load(whole), Status::Ok);
  EXPECT_EQ(windowed.NextRecord().payload, number);
  std::string short_numbers;
  for (int i = 0; i < 100; ++i) short_numbers += std::to_string(i) + " ";
  PaddedBuffer many{short_numbers};
  if (windowed.Load(many) == Status::Ok) {
    EXPECT_EQ(windowed.record_count(), 100u);
  }
}

}  // namespace
}  // namespace core
}  // namespace psfstore
