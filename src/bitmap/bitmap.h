// Bitmap: a compressed set of unsigned 64-bit integers.
//
// Members are split into buckets by their high 32 bits; each bucket is a 32-bit roaring
// bitmap (CRoaring) holding the low 32 bits. Scans add record addresses with Add/AddMany,
// extractions read them back in ascending order with ForEach or NextChunk. The set algebra
// inside a bucket is the library's.
//
// Not thread-safe: concurrent readers are fine, any writer needs exclusive access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>

#include <roaring/roaring.h>

namespace quillmark {
namespace storage {

class Bitmap {
 public:
  Bitmap() = default;
  // Holds every value of values[0, count); duplicates collapse.
  Bitmap(const uint64_t* values, size_t count);
  ~Bitmap() = default;

  // Deep copies. Throw std::runtime_error "failed memory alloc in assignment" when the
  // library cannot allocate a bucket copy.
  Bitmap(const Bitmap& other);
  Bitmap& operator=(const Bitmap& other);
  Bitmap(Bitmap&& other) noexcept = default;
  Bitmap& operator=(Bitmap&& other) noexcept = default;

  // ---- Members one at a time and in bulk.
  void Add(uint64_t value);
  // Fastest when values come sorted (one library call per run of equal high halves).
  void AddMany(const uint64_t* values, size_t count);
  void Remove(uint64_t value);
  bool Contains(uint64_t value) const;
  void Clear() { buckets_.clear(); }

  // Range updates over [start, end_exclusive). An empty range (end_exclusive <= start)
  // changes nothing. AddRange and FlipRange throw std::bad_alloc, bitmap unchanged, for a
  // range whose members the machine's memory could never hold (such as [0, 2^63)).
  void AddRange(uint64_t start, uint64_t end_exclusive);
  void RemoveRange(uint64_t start, uint64_t end_exclusive);
  // Throws std::runtime_error "Invalid range." when end_exclusive <= start.
  void FlipRange(uint64_t start, uint64_t end_exclusive);

  // Closes the gap [position, position + by): removes its members and moves every member at
  // or above position + by down by `by`. Throws std::invalid_argument "Range Out of Bounds",
  // leaving the bitmap unchanged, when a member is at or above position, position's bucket
  // holds members and the low 32 bits of position are not greater than `by`.
  void Contract(uint64_t position, uint64_t by);
  // Opens a gap of `by` at position: every member at or above position moves up by `by`.
  // Throws std::invalid_argument "Range Out of Bounds", bitmap unchanged, when a member
  // would pass 2^64 - 1.
  void Expand(uint64_t position, uint64_t by);

  // ---- Queries.
  // Throws std::length_error when all 2^64 values are members.
  uint64_t Cardinality() const;
  bool Empty() const;
  std::optional<uint64_t> First() const;
  std::optional<uint64_t> Last() const;
  // Number of members strictly below / strictly above position.
  uint64_t LowerCardinality(uint64_t position) const;
  uint64_t UpperCardinality(uint64_t position) const;
  // Member of 0-based rank `ordinal`; std::runtime_error when there are not enough members.
  uint64_t Nth(uint64_t ordinal) const;
  std::optional<uint64_t> SelfOrNext(uint64_t position) const;
  std::optional<uint64_t> SelfOrPrevious(uint64_t position) const;
  // Whether every / some value of [start, end_exclusive) is a member. On an empty range
  // All is true and Any false.
  bool All(uint64_t start, uint64_t end_exclusive) const;
  bool Any(uint64_t start, uint64_t end_exclusive) const;
  bool SubsetOf(const Bitmap& other) const;
  bool StrictSubsetOf(const Bitmap& other) const;
  bool operator==(const Bitmap& other) const;
  // Number of containers the buckets would use once run-length optimised.
  uint64_t InMemorySize() const;

  // Members in [start, end] (both included). Throws std::runtime_error
  // "Invalid range<start>..<end>" when start's high half exceeds end's; start > end inside
  // one bucket gives an empty bitmap.
  Bitmap Slice(uint64_t start, uint64_t end) const;

  // ---- Set algebra. Passing *this as other is allowed.
  Bitmap Union(const Bitmap& other) const;
  Bitmap Intersect(const Bitmap& other) const;
  Bitmap Difference(const Bitmap& other) const;
  Bitmap SymmetricDifference(const Bitmap& other) const;
  Bitmap& InplaceUnion(const Bitmap& other);
  Bitmap& InplaceIntersect(const Bitmap& other);
  Bitmap& InplaceDifference(const Bitmap& other);
  Bitmap& InplaceSymmetricDifference(const Bitmap& other);

  // ---- Iteration, always ascending.
  // Calls fn(uint64_t) for every member. Must not modify the bitmap.
  template <typename Function>
  void ForEach(Function&& fn) const;
  // Copies up to `capacity` members that are >= from into out; returns how many. Holds no
  // state between calls, so a cursor built on it survives changes to the bitmap.
  size_t NextChunk(uint64_t from, uint64_t* out, size_t capacity) const;
  // Writes all members into out, which must hold Cardinality() values.
  void CopyTo(uint64_t* out) const;
  // mask[m - offset] = value for every member m (members below offset are skipped, mask
  // must reach Last() - offset).
  void MarkMembers(bool* mask, uint64_t offset, bool value) const;

  // ---- Serialised form: bucket count (u64), then per bucket key (u32), image length (u64)
  // and the 32-bit bitmap image, portable or native format; little-endian, unpadded.
  // Optionally run-length optimises and shrinks the buckets, then returns the exact size
  // Write produces for the same `portable`.
  size_t PersistedSize(bool portable, bool optimize, bool shrink);
  // Serialises into buffer[0, length); returns the bytes written. Throws std::length_error
  // (nothing written) when length is too small.
  size_t Write(char* buffer, size_t length, bool portable) const;
  // Decodes buffer[0, length). Throws std::length_error when a declared length passes the
  // end of the buffer and std::runtime_error "failed alloc while reading" when a bucket
  // image is malformed.
  static Bitmap Read(const char* buffer, size_t length, bool portable);

 private:
  struct RoaringDeleter {
    void operator()(roaring_bitmap_t* bucket) const { roaring_bitmap_free(bucket); }
  };
  using Bucket = std::unique_ptr<roaring_bitmap_t, RoaringDeleter>;
  using BucketMap = std::map<uint32_t, Bucket>;

  static uint32_t High(uint64_t value) { return static_cast<uint32_t>(value >> 32); }
  static uint32_t Low(uint64_t value) { return static_cast<uint32_t>(value); }
  static uint64_t Join(uint32_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }
  static Bucket NewBucket();
  static Bucket CopyBucket(const roaring_bitmap_t* bucket, const char* failure_message);

  // The bucket for key, created empty when missing.
  roaring_bitmap_t* BucketFor(uint32_t key);
  const roaring_bitmap_t* FindBucket(uint32_t key) const;
  void EraseIfEmpty(BucketMap::iterator it);
  // Closed-range forms: [first, last], so that ranges may reach 2^64 - 1.
  void AddClosedRange(uint64_t first, uint64_t last);
  void RemoveClosedRange(uint64_t first, uint64_t last);
  // Moves the members at or above `from` by `delta` (down when `down`); callers make sure
  // nothing leaves 0..2^64-1.
  void ShiftFrom(uint64_t from, uint64_t delta, bool down);

  BucketMap buckets_;
};

template <typename Function>
void Bitmap::ForEach(Function&& fn) const {
  auto visit = [](uint64_t value, void* context) {
    (*static_cast<std::remove_reference_t<Function>*>(context))(value);
    return true;
  };
  for (const auto& [key, bucket] : buckets_) {
    roaring_iterate64(bucket.get(), visit, uint64_t{key} << 32, &fn);
  }
}

}  // namespace storage
}  // namespace quillmark
