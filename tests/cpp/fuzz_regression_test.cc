// Inputs found by the fuzz targets in fuzz/, kept so the faults they exposed stay fixed.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bitmap/bitmap.h"

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
