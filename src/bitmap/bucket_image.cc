#include "bitmap/bucket_image.h"

#include <bit>
#include <cstring>
#include <vector>

namespace quillmark {
namespace storage {
namespace {

// Layout constants of the portable roaring format.
constexpr uint32_t kCookieWithoutRuns = 12346;
constexpr uint32_t kCookieWithRuns = 12347;
constexpr uint32_t kMaxContainers = 65536;
constexpr uint32_t kOffsetHeaderThreshold = 4;  // run-cookie images with fewer skip offsets
constexpr uint32_t kMaxArrayCardinality = 4096;
constexpr size_t kBitsetBytes = 8192;

// Native format: one type byte, then either a plain array or a portable image.
constexpr uint8_t kNativeArray = 1;
constexpr uint8_t kNativeContainers = 2;

// Bounds-checked little-endian reader.
class Reader {
 public:
  Reader(const char* data, size_t length) : data_(data), length_(length) {}

  bool Has(size_t bytes) const { return bytes <= length_ - position_; }
  bool Skip(size_t bytes) {
    if (!Has(bytes)) return false;
    position_ += bytes;
    return true;
  }
  template <typename T>
  bool Get(T* value) {
    if (!Has(sizeof(T))) return false;
    std::memcpy(value, data_ + position_, sizeof(T));
    position_ += sizeof(T);
    return true;
  }
  const char* Here() const { return data_ + position_; }
  size_t position() const { return position_; }

 private:
  const char* data_;
  size_t length_;
  size_t position_ = 0;
};

bool CheckArrayContainer(Reader& reader, uint32_t cardinality) {
  uint16_t previous = 0;
  for (uint32_t i = 0; i < cardinality; ++i) {
    uint16_t value;
    if (!reader.Get(&value)) return false;
    if (i > 0 && value <= previous) return false;
    previous = value;
  }
  return true;
}

bool CheckBitsetContainer(Reader& reader, uint32_t cardinality) {
  uint32_t count = 0;
  for (size_t i = 0; i < kBitsetBytes / sizeof(uint64_t); ++i) {
    uint64_t word;
    if (!reader.Get(&word)) return false;
    count += static_cast<uint32_t>(std::popcount(word));
  }
  return count == cardinality;
}

bool CheckRunContainer(Reader& reader, uint32_t cardinality) {
  uint16_t run_count;
  if (!reader.Get(&run_count)) return false;
  uint32_t count = 0;
  uint32_t next_free = 0;  // smallest value a following run may start at
  for (uint32_t i = 0; i < run_count; ++i) {
    uint16_t start, length_minus_one;
    if (!reader.Get(&start) || !reader.Get(&length_minus_one)) return false;
    uint32_t last = uint32_t{start} + length_minus_one;
    if (start < next_free || last > 0xFFFF) return false;
    next_free = last + 1;
    count += uint32_t{length_minus_one} + 1;
  }
  return count == cardinality;
}

}  // namespace

std::optional<size_t> CheckPortableImage(const char* data, size_t length) {
  Reader reader(data, length);
  uint32_t cookie;
  if (!reader.Get(&cookie)) return std::nullopt;
  uint32_t container_count;
  const char* run_flags = nullptr;
  bool has_offsets;
  if (cookie == kCookieWithoutRuns) {
    if (!reader.Get(&container_count)) return std::nullopt;
    has_offsets = true;
  } else if ((cookie & 0xFFFF) == kCookieWithRuns) {
    container_count = (cookie >> 16) + 1;
    run_flags = reader.Here();
    if (!reader.Skip((container_count + 7) / 8)) return std::nullopt;
    has_offsets = container_count >= kOffsetHeaderThreshold;
  } else {
    return std::nullopt;
  }
  if (container_count > kMaxContainers) return std::nullopt;

  // Descriptive header: (key, cardinality - 1) per container.
  std::vector<uint32_t> cardinalities(container_count);
  int32_t previous_key = -1;
  for (uint32_t i = 0; i < container_count; ++i) {
    uint16_t key, cardinality_minus_one;
    if (!reader.Get(&key) || !reader.Get(&cardinality_minus_one)) return std::nullopt;
    if (int32_t{key} <= previous_key) return std::nullopt;
    previous_key = key;
    cardinalities[i] = uint32_t{cardinality_minus_one} + 1;
  }
  // The offset header only speeds up random access; containers are read in order.
  if (has_offsets && !reader.Skip(size_t{container_count} * 4)) return std::nullopt;

  for (uint32_t i = 0; i < container_count; ++i) {
    bool is_run = run_flags != nullptr && (static_cast<uint8_t>(run_flags[i / 8]) >> (i % 8)) & 1;
    bool ok;
    if (is_run) {
      ok = CheckRunContainer(reader, cardinalities[i]);
    } else if (cardinalities[i] > kMaxArrayCardinality) {
      ok = CheckBitsetContainer(reader, cardinalities[i]);
    } else {
      ok = CheckArrayContainer(reader, cardinalities[i]);
    }
    if (!ok) return std::nullopt;
  }
  return reader.position();
}

roaring_bitmap_t* DecodeBucketImage(const char* data, size_t length, bool portable) {
  if (portable) {
    if (!CheckPortableImage(data, length)) return nullptr;
    return roaring_bitmap_portable_deserialize_safe(data, length);
  }
  Reader reader(data, length);
  uint8_t type;
  if (!reader.Get(&type)) return nullptr;
  if (type == kNativeContainers) {
    return DecodeBucketImage(reader.Here(), length - 1, /*portable=*/true);
  }
  if (type != kNativeArray) return nullptr;
  uint32_t cardinality;
  if (!reader.Get(&cardinality) || cardinality > (length - reader.position()) / 4) return nullptr;
  // An empty array has no storage to copy into (memcpy to null is undefined even for
  // zero bytes).
  if (cardinality == 0) return roaring_bitmap_create();
  std::vector<uint32_t> values(cardinality);
  std::memcpy(values.data(), reader.Here(), size_t{cardinality} * 4);
  return roaring_bitmap_of_ptr(cardinality, values.data());
}

}  // namespace storage
}  // namespace quillmark
