#include "bitmap/bitmap.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/platform.h"
#include "bitmap/bucket_image.h"

namespace quillmark {
namespace storage {
namespace {

constexpr uint64_t kMaxValue = std::numeric_limits<uint64_t>::max();
constexpr uint32_t kMaxLow = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kBucketSpan = uint64_t{1} << 32;

// Serialised form: u64 bucket count, then per bucket u32 key and u64 image length.
constexpr size_t kCountBytes = 8;
constexpr size_t kBucketHeaderBytes = 12;

void StoreLittleEndian(char* out, uint64_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<char>(value >> (8 * i));
}

uint64_t LoadLittleEndian(const char* in, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= uint64_t{static_cast<uint8_t>(in[i])} << (8 * i);
  return value;
}

size_t ImageSize(const roaring_bitmap_t* bucket, bool portable) {
  return portable ? roaring_bitmap_portable_size_in_bytes(bucket)
                  : roaring_bitmap_size_in_bytes(bucket);
}

// What the library needs at least for one full chunk of 2^16 values added by a range:
// the run container, its one run and its slot in the bucket's container array. Measured
// as about 75 bytes with CRoaring 0.2 (malloc overhead included); the bound stays below
// that, so only ranges that certainly cannot fit are refused.
constexpr uint64_t kBytesPerFullChunk = 64;

// A range add or flip of [first, last] may create one container per 2^16 values; one
// that the memory could never hold is refused before anything changes, instead of
// growing until the process is killed.
void CheckRangeFitsMemory(uint64_t first, uint64_t last) {
  const uint64_t chunks = ((last - first) >> 16) + 1;
  if (chunks > std::numeric_limits<uint64_t>::max() / kBytesPerFullChunk) {
    throw psfstore::environment::MemoryRequestTooLarge("A range of " + std::to_string(last - first) +
                                                       " + 1 values cannot be held in memory");
  }
  psfstore::environment::CheckFitsPhysicalMemory(chunks * kBytesPerFullChunk, "A range of this size");
}

// Number of members of bucket strictly below low.
uint64_t CountBelow(const roaring_bitmap_t* bucket, uint32_t low) {
  return low == 0 ? 0 : roaring_bitmap_rank(bucket, low - 1);
}

// CRoaring 2.0 renamed its iterator functions and kept the old names only as deprecated
// aliases. The calls below depend on a template parameter, so only the branch this
// library version declares is ever looked up.
template <typename Bucket32>
concept HasRenamedIterator = requires(const Bucket32* bucket, roaring_uint32_iterator_t* it) {
  roaring_iterator_init(bucket, it);
};

// Copies up to capacity members >= low of bucket into out, as high_bits | member; returns how
// many.
template <typename Bucket32, typename Iterator = roaring_uint32_iterator_t>
size_t ReadMembersFrom(const Bucket32* bucket, uint32_t low, uint64_t high_bits, uint64_t* out,
                       size_t capacity) {
  Iterator it;
  bool found;
  if constexpr (HasRenamedIterator<Bucket32>) {
    roaring_iterator_init(bucket, &it);
    found = roaring_uint32_iterator_move_equalorlarger(&it, low);
  } else {
    roaring_init_iterator(bucket, &it);
    found = roaring_move_uint32_iterator_equalorlarger(&it, low);
  }
  size_t filled = 0;
  uint32_t lows[1024];
  while (found && filled < capacity) {
    auto wanted = static_cast<uint32_t>(std::min(capacity - filled, std::size(lows)));
    uint32_t count;
    if constexpr (HasRenamedIterator<Bucket32>) {
      count = roaring_uint32_iterator_read(&it, lows, wanted);
    } else {
      count = roaring_read_uint32_iterator(&it, lows, wanted);
    }
    for (uint32_t i = 0; i < count; ++i) out[filled++] = high_bits | lows[i];
    found = count == wanted && it.has_value;
  }
  return filled;
}

[[noreturn]] void ThrowTooShort(const char* what, size_t needed, size_t available) {
  throw std::length_error(std::string(what) + ": " + std::to_string(needed) +
                          " bytes needed, buffer holds " + std::to_string(available));
}

}  // namespace

Bitmap::Bucket Bitmap::NewBucket() {
  Bucket bucket(roaring_bitmap_create());
  if (!bucket) throw std::bad_alloc();
  return bucket;
}

Bitmap::Bucket Bitmap::CopyBucket(const roaring_bitmap_t* bucket, const char* failure_message) {
  Bucket copy(roaring_bitmap_copy(bucket));
  if (!copy) throw std::runtime_error(failure_message);
  return copy;
}

Bitmap::Bitmap(const uint64_t* values, size_t count) { AddMany(values, count); }

Bitmap::Bitmap(const Bitmap& other) {
  for (const auto& [key, bucket] : other.buckets_) {
    buckets_.emplace_hint(buckets_.end(), key,
                          CopyBucket(bucket.get(), "failed memory alloc in assignment"));
  }
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    Bitmap copy(other);  // build fully before replacing, so a failure leaves *this intact
    buckets_.swap(copy.buckets_);
  }
  return *this;
}

roaring_bitmap_t* Bitmap::BucketFor(uint32_t key) {
  auto it = buckets_.lower_bound(key);
  if (it == buckets_.end() || it->first != key) it = buckets_.emplace_hint(it, key, NewBucket());
  return it->second.get();
}

const roaring_bitmap_t* Bitmap::FindBucket(uint32_t key) const {
  auto it = buckets_.find(key);
  return it == buckets_.end() ? nullptr : it->second.get();
}

void Bitmap::EraseIfEmpty(BucketMap::iterator it) {
  if (roaring_bitmap_is_empty(it->second.get())) buckets_.erase(it);
}

// ---------------------------------------------------------------------------------------
// Updates.

void Bitmap::Add(uint64_t value) { roaring_bitmap_add(BucketFor(High(value)), Low(value)); }

void Bitmap::AddMany(const uint64_t* values, size_t count) {
  // Hand the library one batch per run of values sharing a high half.
  constexpr size_t kBatch = 4096;
  uint32_t lows[kBatch];
  size_t i = 0;
  while (i < count) {
    uint32_t key = High(values[i]);
    roaring_bitmap_t* bucket = BucketFor(key);
    size_t filled = 0;
    while (i < count && filled < kBatch && High(values[i]) == key) {
      lows[filled++] = Low(values[i++]);
    }
    // The library appends ascending values cheaply but inserts others one by one; hash
    // chains deliver addresses in descending order, so order each batch first.
    if (std::is_sorted(lows, lows + filled, std::greater<>())) {
      std::reverse(lows, lows + filled);
    } else if (!std::is_sorted(lows, lows + filled)) {
      std::sort(lows, lows + filled);
    }
    roaring_bitmap_add_many(bucket, filled, lows);
  }
}

void Bitmap::Remove(uint64_t value) {
  auto it = buckets_.find(High(value));
  if (it == buckets_.end()) return;
  roaring_bitmap_remove(it->second.get(), Low(value));
  EraseIfEmpty(it);
}

bool Bitmap::Contains(uint64_t value) const {
  const roaring_bitmap_t* bucket = FindBucket(High(value));
  return bucket != nullptr && roaring_bitmap_contains(bucket, Low(value));
}

void Bitmap::AddClosedRange(uint64_t first, uint64_t last) {
  CheckRangeFitsMemory(first, last);
  for (uint64_t key = High(first); key <= High(last); ++key) {
    uint32_t low_first = key == High(first) ? Low(first) : 0;
    uint32_t low_last = key == High(last) ? Low(last) : kMaxLow;
    roaring_bitmap_add_range_closed(BucketFor(static_cast<uint32_t>(key)), low_first, low_last);
  }
}

void Bitmap::RemoveClosedRange(uint64_t first, uint64_t last) {
  auto it = buckets_.lower_bound(High(first));
  while (it != buckets_.end() && it->first <= High(last)) {
    uint32_t low_first = it->first == High(first) ? Low(first) : 0;
    uint32_t low_last = it->first == High(last) ? Low(last) : kMaxLow;
    roaring_bitmap_remove_range_closed(it->second.get(), low_first, low_last);
    auto current = it++;
    EraseIfEmpty(current);
  }
}

void Bitmap::AddRange(uint64_t start, uint64_t end_exclusive) {
  if (end_exclusive > start) AddClosedRange(start, end_exclusive - 1);
}

void Bitmap::RemoveRange(uint64_t start, uint64_t end_exclusive) {
  if (end_exclusive > start) RemoveClosedRange(start, end_exclusive - 1);
}

void Bitmap::FlipRange(uint64_t start, uint64_t end_exclusive) {
  if (end_exclusive <= start) throw std::runtime_error("Invalid range.");
  uint64_t last = end_exclusive - 1;
  CheckRangeFitsMemory(start, last);
  for (uint64_t key = High(start); key <= High(last); ++key) {
    uint64_t low_first = key == High(start) ? Low(start) : 0;
    uint64_t low_end = key == High(last) ? uint64_t{Low(last)} + 1 : kBucketSpan;
    auto bucket_key = static_cast<uint32_t>(key);
    roaring_bitmap_flip_inplace(BucketFor(bucket_key), low_first, low_end);
    EraseIfEmpty(buckets_.find(bucket_key));
  }
}

void Bitmap::ShiftFrom(uint64_t from, uint64_t delta, bool down) {
  Bitmap moved;
  constexpr size_t kChunk = 4096;
  uint64_t chunk[kChunk];
  uint64_t cursor = from;
  while (size_t count = NextChunk(cursor, chunk, kChunk)) {
    uint64_t last = chunk[count - 1];
    for (size_t i = 0; i < count; ++i) chunk[i] = down ? chunk[i] - delta : chunk[i] + delta;
    moved.AddMany(chunk, count);
    if (last == kMaxValue) break;
    cursor = last + 1;
  }
  RemoveClosedRange(from, kMaxValue);
  InplaceUnion(moved);
}

void Bitmap::Contract(uint64_t position, uint64_t by) {
  std::optional<uint64_t> last = Last();
  if (!last || *last < position) return;
  // Checked before anything moves, so a refused contraction leaves the bitmap as it was.
  const roaring_bitmap_t* own_bucket = FindBucket(High(position));
  if (own_bucket != nullptr && !roaring_bitmap_is_empty(own_bucket) && Low(position) <= by) {
    throw std::invalid_argument("Range Out of Bounds");
  }
  if (by == 0) return;
  if (position > kMaxValue - by) {  // the gap reaches past the largest value
    RemoveClosedRange(position, kMaxValue);
    return;
  }
  Bitmap moved(*this);  // built aside: a failure part-way leaves *this unchanged
  moved.RemoveClosedRange(position, position + by - 1);
  moved.ShiftFrom(position + by, by, /*down=*/true);
  buckets_.swap(moved.buckets_);
}

void Bitmap::Expand(uint64_t position, uint64_t by) {
  std::optional<uint64_t> last = Last();
  if (!last || *last < position || by == 0) return;
  if (*last > kMaxValue - by) throw std::invalid_argument("Range Out of Bounds");
  Bitmap moved(*this);  // built aside: a failure part-way leaves *this unchanged
  moved.ShiftFrom(position, by, /*down=*/false);
  buckets_.swap(moved.buckets_);
}

// ---------------------------------------------------------------------------------------
// Queries.

uint64_t Bitmap::Cardinality() const {
  uint64_t total = 0;
  for (const auto& [key, bucket] : buckets_) {
    uint64_t count = roaring_bitmap_get_cardinality(bucket.get());
    if (count > kMaxValue - total) {
      throw std::length_error(
          "bitmap is full, cardinality is 2^64, unable to represent in a 64-bit integer");
    }
    total += count;
  }
  return total;
}

bool Bitmap::Empty() const {
  return std::all_of(buckets_.begin(), buckets_.end(),
                     [](const auto& entry) { return roaring_bitmap_is_empty(entry.second.get()); });
}

std::optional<uint64_t> Bitmap::First() const {
  for (const auto& [key, bucket] : buckets_) {
    if (!roaring_bitmap_is_empty(bucket.get())) {
      return Join(key, roaring_bitmap_minimum(bucket.get()));
    }
  }
  return std::nullopt;
}

std::optional<uint64_t> Bitmap::Last() const {
  for (auto it = buckets_.rbegin(); it != buckets_.rend(); ++it) {
    if (!roaring_bitmap_is_empty(it->second.get())) {
      return Join(it->first, roaring_bitmap_maximum(it->second.get()));
    }
  }
  return std::nullopt;
}

uint64_t Bitmap::LowerCardinality(uint64_t position) const {
  uint64_t count = 0;
  for (auto it = buckets_.begin(); it != buckets_.end() && it->first <= High(position); ++it) {
    count += it->first < High(position) ? roaring_bitmap_get_cardinality(it->second.get())
                                        : CountBelow(it->second.get(), Low(position));
  }
  return count;
}

uint64_t Bitmap::UpperCardinality(uint64_t position) const {
  uint64_t count = 0;
  for (auto it = buckets_.lower_bound(High(position)); it != buckets_.end(); ++it) {
    uint64_t bucket_count = roaring_bitmap_get_cardinality(it->second.get());
    count += it->first > High(position)
                 ? bucket_count
                 : bucket_count - roaring_bitmap_rank(it->second.get(), Low(position));
  }
  return count;
}

uint64_t Bitmap::Nth(uint64_t ordinal) const {
  uint64_t remaining = ordinal;
  for (const auto& [key, bucket] : buckets_) {
    uint64_t count = roaring_bitmap_get_cardinality(bucket.get());
    if (remaining < count) {
      uint32_t low = 0;
      roaring_bitmap_select(bucket.get(), static_cast<uint32_t>(remaining), &low);
      return Join(key, low);
    }
    remaining -= count;
  }
  throw std::runtime_error("The ordinal value [ " + std::to_string(ordinal) +
                           "] is greater than the total cardinality");
}

std::optional<uint64_t> Bitmap::SelfOrNext(uint64_t position) const {
  for (auto it = buckets_.lower_bound(High(position)); it != buckets_.end(); ++it) {
    const roaring_bitmap_t* bucket = it->second.get();
    uint64_t below = it->first == High(position) ? CountBelow(bucket, Low(position)) : 0;
    if (below < roaring_bitmap_get_cardinality(bucket)) {
      uint32_t low = 0;
      roaring_bitmap_select(bucket, static_cast<uint32_t>(below), &low);
      return Join(it->first, low);
    }
  }
  return std::nullopt;
}

std::optional<uint64_t> Bitmap::SelfOrPrevious(uint64_t position) const {
  for (auto it = std::make_reverse_iterator(buckets_.upper_bound(High(position)));
       it != buckets_.rend(); ++it) {
    const roaring_bitmap_t* bucket = it->second.get();
    uint64_t at_or_below = it->first == High(position) ? roaring_bitmap_rank(bucket, Low(position))
                                                       : roaring_bitmap_get_cardinality(bucket);
    if (at_or_below > 0) {
      uint32_t low = 0;
      roaring_bitmap_select(bucket, static_cast<uint32_t>(at_or_below - 1), &low);
      return Join(it->first, low);
    }
  }
  return std::nullopt;
}

bool Bitmap::All(uint64_t start, uint64_t end_exclusive) const {
  if (end_exclusive <= start) return true;
  uint64_t last = end_exclusive - 1;
  for (uint64_t key = High(start); key <= High(last); ++key) {
    const roaring_bitmap_t* bucket = FindBucket(static_cast<uint32_t>(key));
    if (bucket == nullptr) return false;
    uint64_t low_first = key == High(start) ? Low(start) : 0;
    uint64_t low_end = key == High(last) ? uint64_t{Low(last)} + 1 : kBucketSpan;
    if (!roaring_bitmap_contains_range(bucket, low_first, low_end)) return false;
  }
  return true;
}

bool Bitmap::Any(uint64_t start, uint64_t end_exclusive) const {
  if (end_exclusive <= start) return false;
  uint64_t last = end_exclusive - 1;
  for (auto it = buckets_.lower_bound(High(start)); it != buckets_.end() && it->first <= High(last);
       ++it) {
    uint64_t low_first = it->first == High(start) ? Low(start) : 0;
    uint64_t low_end = it->first == High(last) ? uint64_t{Low(last)} + 1 : kBucketSpan;
    if (roaring_bitmap_range_cardinality(it->second.get(), low_first, low_end) > 0) return true;
  }
  return false;
}

bool Bitmap::SubsetOf(const Bitmap& other) const {
  for (const auto& [key, bucket] : buckets_) {
    if (roaring_bitmap_is_empty(bucket.get())) continue;
    const roaring_bitmap_t* other_bucket = other.FindBucket(key);
    if (other_bucket == nullptr || !roaring_bitmap_is_subset(bucket.get(), other_bucket)) {
      return false;
    }
  }
  return true;
}

bool Bitmap::StrictSubsetOf(const Bitmap& other) const {
  // Subset with equal members means equal cardinalities; comparing members avoids the
  // cardinality overflow of a full bitmap.
  return SubsetOf(other) && !(*this == other);
}

bool Bitmap::operator==(const Bitmap& other) const {
  auto skip_empty = [](BucketMap::const_iterator it, BucketMap::const_iterator end) {
    while (it != end && roaring_bitmap_is_empty(it->second.get())) ++it;
    return it;
  };
  auto mine = skip_empty(buckets_.begin(), buckets_.end());
  auto theirs = skip_empty(other.buckets_.begin(), other.buckets_.end());
  while (mine != buckets_.end() && theirs != other.buckets_.end()) {
    if (mine->first != theirs->first ||
        !roaring_bitmap_equals(mine->second.get(), theirs->second.get())) {
      return false;
    }
    mine = skip_empty(++mine, buckets_.end());
    theirs = skip_empty(++theirs, other.buckets_.end());
  }
  return mine == buckets_.end() && theirs == other.buckets_.end();
}

uint64_t Bitmap::InMemorySize() const {
  uint64_t containers = 0;
  for (const auto& [key, bucket] : buckets_) {
    Bucket copy = CopyBucket(bucket.get(), "failed roaring_bitmap_overwrite in constructor");
    roaring_bitmap_run_optimize(copy.get());
    roaring_statistics_t statistics;
    roaring_bitmap_statistics(copy.get(), &statistics);
    containers += statistics.n_containers;
  }
  return containers;
}

Bitmap Bitmap::Slice(uint64_t start, uint64_t end) const {
  if (High(start) > High(end)) {
    throw std::runtime_error("Invalid range" + std::to_string(start) + ".." + std::to_string(end));
  }
  Bitmap result;
  if (start > end) return result;
  for (auto it = buckets_.lower_bound(High(start)); it != buckets_.end() && it->first <= High(end);
       ++it) {
    Bucket copy = CopyBucket(it->second.get(), "failed memory alloc in assignment");
    if (it->first == High(start) && Low(start) > 0) {
      roaring_bitmap_remove_range_closed(copy.get(), 0, Low(start) - 1);
    }
    if (it->first == High(end) && Low(end) < kMaxLow) {
      roaring_bitmap_remove_range_closed(copy.get(), Low(end) + 1, kMaxLow);
    }
    if (!roaring_bitmap_is_empty(copy.get())) {
      result.buckets_.emplace_hint(result.buckets_.end(), it->first, std::move(copy));
    }
  }
  return result;
}

// ---------------------------------------------------------------------------------------
// Set algebra.

Bitmap Bitmap::Union(const Bitmap& other) const {
  Bitmap result(*this);
  return std::move(result.InplaceUnion(other));
}

Bitmap Bitmap::Intersect(const Bitmap& other) const {
  Bitmap result;
  for (const auto& [key, bucket] : buckets_) {
    const roaring_bitmap_t* other_bucket = other.FindBucket(key);
    if (other_bucket == nullptr) continue;
    Bucket both(roaring_bitmap_and(bucket.get(), other_bucket));
    if (!both) throw std::bad_alloc();
    if (!roaring_bitmap_is_empty(both.get())) {
      result.buckets_.emplace_hint(result.buckets_.end(), key, std::move(both));
    }
  }
  return result;
}

Bitmap Bitmap::Difference(const Bitmap& other) const {
  Bitmap result(*this);
  return std::move(result.InplaceDifference(other));
}

Bitmap Bitmap::SymmetricDifference(const Bitmap& other) const {
  Bitmap result(*this);
  return std::move(result.InplaceSymmetricDifference(other));
}

Bitmap& Bitmap::InplaceUnion(const Bitmap& other) {
  if (&other == this) return *this;
  for (const auto& [key, bucket] : other.buckets_) {
    auto it = buckets_.lower_bound(key);
    if (it == buckets_.end() || it->first != key) {
      buckets_.emplace_hint(it, key, CopyBucket(bucket.get(), "failed memory alloc in assignment"));
    } else {
      roaring_bitmap_or_inplace(it->second.get(), bucket.get());
    }
  }
  return *this;
}

Bitmap& Bitmap::InplaceIntersect(const Bitmap& other) {
  if (&other == this) return *this;
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    const roaring_bitmap_t* other_bucket = other.FindBucket(it->first);
    if (other_bucket != nullptr) roaring_bitmap_and_inplace(it->second.get(), other_bucket);
    if (other_bucket == nullptr || roaring_bitmap_is_empty(it->second.get())) {
      it = buckets_.erase(it);
    } else {
      ++it;
    }
  }
  return *this;
}

Bitmap& Bitmap::InplaceDifference(const Bitmap& other) {
  if (&other == this) {
    Clear();
    return *this;
  }
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    const roaring_bitmap_t* other_bucket = other.FindBucket(it->first);
    if (other_bucket != nullptr) roaring_bitmap_andnot_inplace(it->second.get(), other_bucket);
    auto current = it++;
    EraseIfEmpty(current);
  }
  return *this;
}

Bitmap& Bitmap::InplaceSymmetricDifference(const Bitmap& other) {
  if (&other == this) {
    Clear();
    return *this;
  }
  for (const auto& [key, bucket] : other.buckets_) {
    auto it = buckets_.lower_bound(key);
    if (it == buckets_.end() || it->first != key) {
      if (!roaring_bitmap_is_empty(bucket.get())) {
        buckets_.emplace_hint(it, key,
                              CopyBucket(bucket.get(), "failed memory alloc in assignment"));
      }
    } else {
      roaring_bitmap_xor_inplace(it->second.get(), bucket.get());
      EraseIfEmpty(it);
    }
  }
  return *this;
}

// ---------------------------------------------------------------------------------------
// Iteration.

size_t Bitmap::NextChunk(uint64_t from, uint64_t* out, size_t capacity) const {
  size_t filled = 0;
  for (auto it = buckets_.lower_bound(High(from)); it != buckets_.end() && filled < capacity;
       ++it) {
    uint32_t low = it->first == High(from) ? Low(from) : 0;
    filled += ReadMembersFrom(it->second.get(), low, uint64_t{it->first} << 32, out + filled,
                              capacity - filled);
  }
  return filled;
}

void Bitmap::CopyTo(uint64_t* out) const {
  for (const auto& [key, bucket] : buckets_) {
    out += ReadMembersFrom(bucket.get(), 0, uint64_t{key} << 32, out,
                           std::numeric_limits<size_t>::max());
  }
}

void Bitmap::MarkMembers(bool* mask, uint64_t offset, bool value) const {
  struct Marker {
    bool* mask;
    uint64_t offset;
    bool value;
  } marker{mask, offset, value};
  auto mark = [](uint64_t member, void* context) {
    auto* marker = static_cast<Marker*>(context);
    if (member >= marker->offset) marker->mask[member - marker->offset] = marker->value;
    return true;
  };
  for (auto it = buckets_.lower_bound(High(offset)); it != buckets_.end(); ++it) {
    roaring_iterate64(it->second.get(), mark, uint64_t{it->first} << 32, &marker);
  }
}

// ---------------------------------------------------------------------------------------
// Serialised form.

size_t Bitmap::PersistedSize(bool portable, bool optimize, bool shrink) {
  size_t total = kCountBytes;
  for (auto& [key, bucket] : buckets_) {
    if (optimize) roaring_bitmap_run_optimize(bucket.get());
    if (shrink) roaring_bitmap_shrink_to_fit(bucket.get());
    total += kBucketHeaderBytes + ImageSize(bucket.get(), portable);
  }
  return total;
}

size_t Bitmap::Write(char* buffer, size_t length, bool portable) const {
  size_t needed = kCountBytes;
  for (const auto& [key, bucket] : buckets_) {
    needed += kBucketHeaderBytes + ImageSize(bucket.get(), portable);
  }
  if (needed > length) ThrowTooShort("buffer too small for the bitmap", needed, length);

  char* out = buffer;
  StoreLittleEndian(out, buckets_.size(), kCountBytes);
  out += kCountBytes;
  for (const auto& [key, bucket] : buckets_) {
    size_t image_size = ImageSize(bucket.get(), portable);
    StoreLittleEndian(out, key, 4);
    StoreLittleEndian(out + 4, image_size, 8);
    out += kBucketHeaderBytes;
    size_t written = portable ? roaring_bitmap_portable_serialize(bucket.get(), out)
                              : roaring_bitmap_serialize(bucket.get(), out);
    if (written != image_size) throw std::logic_error("bucket image size changed while writing");
    out += written;
  }
  return static_cast<size_t>(out - buffer);
}

Bitmap Bitmap::Read(const char* buffer, size_t length, bool portable) {
  if (length < kCountBytes) ThrowTooShort("bitmap image truncated", kCountBytes, length);
  uint64_t bucket_count = LoadLittleEndian(buffer, kCountBytes);
  size_t position = kCountBytes;
  Bitmap result;
  bool have_previous_key = false;
  uint32_t previous_key = 0;
  for (uint64_t i = 0; i < bucket_count; ++i) {
    if (length - position < kBucketHeaderBytes) {
      ThrowTooShort("bitmap image truncated", position + kBucketHeaderBytes, length);
    }
    auto key = static_cast<uint32_t>(LoadLittleEndian(buffer + position, 4));
    uint64_t image_size = LoadLittleEndian(buffer + position + 4, 8);
    position += kBucketHeaderBytes;
    if (image_size > length - position) {
      ThrowTooShort("bitmap image truncated", position + image_size, length);
    }
    // Keys are written ascending; anything else is a damaged image that would silently merge
    // or drop buckets.
    if (have_previous_key && key <= previous_key) {
      throw std::runtime_error("bitmap image damaged: bucket keys not in ascending order");
    }
    have_previous_key = true;
    previous_key = key;
    Bucket bucket(DecodeBucketImage(buffer + position, image_size, portable));
    if (!bucket) throw std::runtime_error("failed alloc while reading");
    position += image_size;
    if (!roaring_bitmap_is_empty(bucket.get())) {
      result.buckets_.emplace_hint(result.buckets_.end(), key, std::move(bucket));
    }
  }
  return result;
}

}  // namespace storage
}  // namespace quillmark
