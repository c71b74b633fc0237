// Fuzzes Bitmap::Read (behind Python's Bitmap.read) with arbitrary buffers. The first byte
// picks the portable or native bucket format. A buffer is either refused with an exception
// or decoded into a bitmap that is internally consistent and survives a write/read round
// trip unchanged.
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "bitmap/bitmap.h"

using quillmark::storage::Bitmap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool portable = (data[0] & 1) != 0;
  std::vector<char> image(data + 1, data + size);
  Bitmap bitmap;
  try {
    bitmap = Bitmap::Read(image.data(), image.size(), portable);
  } catch (const std::length_error&) {
    return 0;
  } catch (const std::runtime_error&) {
    return 0;
  }
  uint64_t cardinality = bitmap.Cardinality();
  uint64_t counted = 0;
  bool ascending = true;
  uint64_t previous = 0;
  bitmap.ForEach([&](uint64_t value) {
    if (counted > 0 && value <= previous) ascending = false;
    previous = value;
    ++counted;
  });
  if (!ascending || counted != cardinality) std::abort();
  if (cardinality > 0 && (*bitmap.First() != bitmap.Nth(0) || *bitmap.Last() != previous)) std::abort();

  for (bool write_portable : {true, false}) {
    std::vector<char> written(bitmap.PersistedSize(write_portable, false, false));
    if (bitmap.Write(written.data(), written.size(), write_portable) != written.size()) std::abort();
    if (!(Bitmap::Read(written.data(), written.size(), write_portable) == bitmap)) std::abort();
  }
  return 0;
}
