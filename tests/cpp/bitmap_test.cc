#include "bitmap/bitmap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bitmap/bucket_image.h"

namespace quillmark {
namespace storage {
namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kSpan = uint64_t{1} << 32;

std::vector<uint64_t> Members(const Bitmap& bitmap) {
  std::vector<uint64_t> members;
  bitmap.ForEach([&](uint64_t value) { members.push_back(value); });
  return members;
}

std::vector<uint64_t> Members(const std::set<uint64_t>& model) {
  return std::vector<uint64_t>(model.begin(), model.end());
}

// Values cluster around bucket edges and the ends of the 64-bit range, where off-by-one
// and carry mistakes live.
class ValueSource {
 public:
  explicit ValueSource(uint32_t seed) : random_(seed) {}

  uint64_t Next() {
    static const uint64_t kAnchors[] = {0, kSpan - 64, kSpan, 5 * kSpan - 32, kMax - 80};
    uint64_t anchor = kAnchors[Below(std::size(kAnchors))];
    return anchor + Below(anchor == kMax - 80 ? 81 : 128);
  }
  uint64_t Below(uint64_t bound) {
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(random_);
  }

 private:
  std::mt19937_64 random_;
};

Bitmap RandomBitmap(ValueSource& source, std::set<uint64_t>* model) {
  Bitmap bitmap;
  for (uint64_t i = 0, count = source.Below(40); i < count; ++i) {
    uint64_t value = source.Next();
    bitmap.Add(value);
    model->insert(value);
  }
  return bitmap;
}

void ShiftModel(std::set<uint64_t>& model, uint64_t from, uint64_t by, bool down) {
  std::set<uint64_t> shifted;
  for (uint64_t value : model) {
    shifted.insert(value < from ? value : down ? value - by : value + by);
  }
  model.swap(shifted);
}

// Every mutating operation, applied to a Bitmap and to a std::set, compared after each step
// together with the rank and neighbour queries at random positions.
TEST(BitmapTest, RandomOperationsAgreeWithOrderedSet) {
  ValueSource source(20261208);
  Bitmap bitmap;
  std::set<uint64_t> model;
  for (int step = 0; step < 4000; ++step) {
    uint64_t position = source.Next();
    uint64_t length = source.Below(200);
    uint64_t end = position > kMax - length ? kMax : position + length;
    switch (source.Below(10)) {
      case 0:
        bitmap.Add(position);
        model.insert(position);
        break;
      case 1:
        bitmap.Remove(position);
        model.erase(position);
        break;
      case 2:
        bitmap.AddRange(position, end);
        for (uint64_t v = position; v < end; ++v) model.insert(v);
        break;
      case 3:
        bitmap.RemoveRange(position, end);
        for (uint64_t v = position; v < end; ++v) model.erase(v);
        break;
      case 4:
        if (end > position) {
          bitmap.FlipRange(position, end);
          for (uint64_t v = position; v < end; ++v) {
            if (!model.erase(v)) model.insert(v);
          }
        } else {
          EXPECT_THROW(bitmap.FlipRange(position, end), std::runtime_error);
        }
        break;
      case 5: {
        uint64_t by = source.Below(3) == 0 ? kSpan + source.Below(100) : source.Below(100);
        bool has_above = !model.empty() && *model.rbegin() >= position;
        bool own_bucket_used = model.lower_bound(position & ~(kSpan - 1)) !=
                               model.upper_bound(position | (kSpan - 1));
        if (has_above && own_bucket_used && (position & (kSpan - 1)) <= by) {
          std::vector<uint64_t> before = Members(bitmap);
          EXPECT_THROW(bitmap.Contract(position, by), std::invalid_argument);
          EXPECT_EQ(Members(bitmap), before) << "a refused contraction changed the bitmap";
          continue;
        }
        bitmap.Contract(position, by);
        if (has_above) {
          uint64_t gap_end = position > kMax - by ? kMax : position + by;
          model.erase(model.lower_bound(position),
                      position > kMax - by ? model.end() : model.lower_bound(gap_end));
          if (position <= kMax - by) ShiftModel(model, gap_end, by, /*down=*/true);
        }
        break;
      }
      case 6: {
        uint64_t by = source.Below(2) == 0 ? kSpan - source.Below(3) : source.Below(100);
        if (!model.empty() && *model.rbegin() >= position && *model.rbegin() > kMax - by) {
          std::vector<uint64_t> before = Members(bitmap);
          EXPECT_THROW(bitmap.Expand(position, by), std::invalid_argument);
          EXPECT_EQ(Members(bitmap), before) << "a refused expansion changed the bitmap";
          continue;
        }
        bitmap.Expand(position, by);
        ShiftModel(model, position, by, /*down=*/false);
        break;
      }
      default: {
        std::set<uint64_t> other_model;
        Bitmap other = RandomBitmap(source, &other_model);
        std::set<uint64_t> expected;
        int operation = static_cast<int>(source.Below(4));
        for (uint64_t v : model) {
          bool in_other = other_model.count(v) > 0;
          if (operation == 0 || (operation == 1 && in_other) || (operation >= 2 && !in_other)) {
            expected.insert(v);
          }
        }
        for (uint64_t v : other_model) {
          if (operation == 0 || (operation == 3 && !model.count(v))) expected.insert(v);
        }
        Bitmap result = operation == 0   ? bitmap.Union(other)
                        : operation == 1 ? bitmap.Intersect(other)
                        : operation == 2 ? bitmap.Difference(other)
                                         : bitmap.SymmetricDifference(other);
        ASSERT_EQ(Members(result), Members(expected)) << "operation " << operation;
        if (source.Below(2) == 0) {
          if (operation == 0) bitmap.InplaceUnion(other);
          if (operation == 1) bitmap.InplaceIntersect(other);
          if (operation == 2) bitmap.InplaceDifference(other);
          if (operation == 3) bitmap.InplaceSymmetricDifference(other);
          model = expected;
          ASSERT_TRUE(bitmap == result);
        }
        break;
      }
    }
    ASSERT_EQ(Members(bitmap), Members(model)) << "step " << step;
    ASSERT_EQ(bitmap.Cardinality(), model.size());
    ASSERT_EQ(bitmap.Empty(), model.empty());

    uint64_t probe = source.Next();
    auto next = model.lower_bound(probe);
    auto after = model.upper_bound(probe);
    ASSERT_EQ(bitmap.LowerCardinality(probe), std::distance(model.begin(), next));
    ASSERT_EQ(bitmap.UpperCardinality(probe), std::distance(after, model.end()));
    ASSERT_EQ(bitmap.SelfOrNext(probe), next == model.end() ? std::nullopt : std::optional(*next));
    ASSERT_EQ(bitmap.SelfOrPrevious(probe),
              after == model.begin() ? std::nullopt : std::optional(*std::prev(after)));
    uint64_t probe_end = probe > kMax - 40 ? kMax : probe + source.Below(40);
    bool all = true, any = false;
    for (uint64_t v = probe; v < probe_end; ++v) {
      all = all && model.count(v) > 0;
      any = any || model.count(v) > 0;
    }
    ASSERT_EQ(bitmap.All(probe, probe_end), all);
    ASSERT_EQ(bitmap.Any(probe, probe_end), any);
    if (!model.empty()) {
      uint64_t ordinal = source.Below(model.size());
      ASSERT_EQ(bitmap.Nth(ordinal), *std::next(model.begin(), static_cast<long>(ordinal)));
      ASSERT_EQ(bitmap.First(), *model.begin());
      ASSERT_EQ(bitmap.Last(), *model.rbegin());
    }
  }
}

TEST(BitmapTest, RankAndNeighboursOnBucketEdges) {
  const std::vector<uint64_t> values = {0, kSpan - 1, kSpan, 3 * kSpan + 7, kMax};
  Bitmap bitmap(values.data(), values.size());
  EXPECT_EQ(bitmap.Nth(1), kSpan - 1);
  EXPECT_EQ(bitmap.Nth(2), kSpan);
  EXPECT_EQ(bitmap.Nth(4), kMax);
  try {
    bitmap.Nth(5);
    FAIL() << "no error past the end";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "The ordinal value [ 5] is greater than the total cardinality");
  }
  EXPECT_EQ(bitmap.LowerCardinality(kSpan), 2u);
  EXPECT_EQ(bitmap.LowerCardinality(kSpan - 1), 1u);
  EXPECT_EQ(bitmap.UpperCardinality(kSpan - 1), 3u);
  EXPECT_EQ(bitmap.UpperCardinality(kMax), 0u);
  EXPECT_EQ(bitmap.LowerCardinality(0), 0u);
  EXPECT_EQ(bitmap.SelfOrNext(1), kSpan - 1);
  EXPECT_EQ(bitmap.SelfOrNext(kSpan + 1), 3 * kSpan + 7);
  EXPECT_EQ(bitmap.SelfOrPrevious(kSpan - 2), 0u);
  EXPECT_EQ(bitmap.SelfOrPrevious(3 * kSpan), kSpan);
  EXPECT_EQ(bitmap.SelfOrNext(3 * kSpan + 8), kMax);
  bitmap.Remove(kMax);
  EXPECT_EQ(bitmap.SelfOrNext(3 * kSpan + 8), std::nullopt);
  EXPECT_EQ(Bitmap().SelfOrPrevious(kMax), std::nullopt);

  // A full bucket: rank 2^32 - 1 is its top value, not the next bucket's first.
  Bitmap full;
  full.AddRange(kSpan, 2 * kSpan);
  full.Add(5 * kSpan);
  EXPECT_EQ(full.Cardinality(), kSpan + 1);
  EXPECT_EQ(full.Nth(kSpan - 1), 2 * kSpan - 1);
  EXPECT_EQ(full.Nth(kSpan), 5 * kSpan);
  EXPECT_TRUE(full.All(kSpan, 2 * kSpan));
  EXPECT_FALSE(full.All(kSpan, 2 * kSpan + 1));
  EXPECT_TRUE(full.Any(2 * kSpan - 1, 2 * kSpan));
  EXPECT_TRUE(full.All(7, 7));
  EXPECT_FALSE(full.Any(kSpan, kSpan));
}

TEST(BitmapTest, SliceKeepsInclusiveBoundsAndRejectsReversedBuckets) {
  const std::vector<uint64_t> values = {1, 5, kSpan - 1, kSpan, kSpan + 9, 2 * kSpan};
  Bitmap bitmap(values.data(), values.size());
  EXPECT_EQ(Members(bitmap.Slice(5, kSpan + 9)),
            (std::vector<uint64_t>{5, kSpan - 1, kSpan, kSpan + 9}));
  EXPECT_EQ(Members(bitmap.Slice(kSpan - 1, kSpan - 1)), (std::vector<uint64_t>{kSpan - 1}));
  EXPECT_TRUE(bitmap.Slice(9, 3).Empty());
  try {
    bitmap.Slice(2 * kSpan, 5);
    FAIL() << "reversed buckets accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Invalid range8589934592..5");
  }
}

TEST(BitmapTest, InplaceOperationsWithItselfAndEmptyBuckets) {
  const std::vector<uint64_t> values = {2, kSpan + 3, kMax};
  Bitmap bitmap(values.data(), values.size());
  Bitmap copy(bitmap);
  bitmap.InplaceUnion(bitmap);
  bitmap.InplaceIntersect(bitmap);
  EXPECT_TRUE(bitmap == copy);
  bitmap.InplaceSymmetricDifference(bitmap);
  EXPECT_TRUE(bitmap.Empty());
  bitmap = copy;
  bitmap.InplaceDifference(bitmap);
  EXPECT_TRUE(bitmap.Empty());

  // Emptied buckets neither count nor show up in comparisons or the serialised form.
  Bitmap emptied(copy);
  emptied.Remove(kSpan + 3);
  emptied.Add(kSpan + 3);
  emptied.RemoveRange(kSpan, 2 * kSpan);
  const std::vector<uint64_t> without = {2, kMax};
  EXPECT_TRUE(emptied == Bitmap(without.data(), without.size()));
  EXPECT_TRUE(emptied.StrictSubsetOf(copy));
  EXPECT_FALSE(copy.StrictSubsetOf(copy));
  EXPECT_TRUE(copy.SubsetOf(copy));
  EXPECT_EQ(emptied.PersistedSize(true, true, true),
            Bitmap(without.data(), without.size()).PersistedSize(true, true, true));
}

TEST(BitmapTest, IterationEntryPointsAgree) {
  std::vector<uint64_t> values;
  for (uint64_t i = 0; i < 20000; ++i) values.push_back(i * 3);
  for (uint64_t i = 0; i < 5000; ++i) values.push_back(kSpan - 2500 + i);
  values.push_back(kMax);
  std::vector<uint64_t> shuffled = values;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(7));
  Bitmap bitmap(shuffled.data(), shuffled.size());
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());

  ASSERT_EQ(Members(bitmap), values);
  std::vector<uint64_t> descending(values.rbegin(), values.rend());
  EXPECT_TRUE(Bitmap(descending.data(), descending.size()) == bitmap);
  std::vector<uint64_t> copied(bitmap.Cardinality());
  bitmap.CopyTo(copied.data());
  EXPECT_EQ(copied, values);

  std::vector<uint64_t> chunked;
  uint64_t chunk[333];
  uint64_t cursor = 0;
  while (size_t count = bitmap.NextChunk(cursor, chunk, std::size(chunk))) {
    chunked.insert(chunked.end(), chunk, chunk + count);
    if (chunk[count - 1] == kMax) break;
    cursor = chunk[count - 1] + 1;
  }
  EXPECT_EQ(chunked, values);

  const std::vector<uint64_t> few = {kSpan + 1, kSpan + 4};
  Bitmap small(few.data(), few.size());
  bool mask[5];
  std::memset(mask, 0, sizeof(mask));
  small.MarkMembers(mask, kSpan, true);
  EXPECT_FALSE(mask[0] || mask[2] || mask[3]);
  EXPECT_TRUE(mask[1] && mask[4]);
}

// An image holding array, bitset and run containers in several buckets.
Bitmap MixedBitmap() {
  Bitmap bitmap;
  for (uint64_t i = 0; i < 3000; ++i) bitmap.Add(i * 7);             // array containers
  for (uint64_t i = 0; i < 30000; i += 2) bitmap.Add(kSpan + i);     // bitset container
  bitmap.AddRange(3 * kSpan + 100, 3 * kSpan + 900000);             // runs
  bitmap.Add(kMax);
  return bitmap;
}

// Scans hand a finished bitmap to several extraction threads; every read path must be free
// of hidden writes (no lazily created buckets, no cached iterators).
TEST(BitmapTest, ConcurrentReadersSeeTheSameMembers) {
  Bitmap bitmap = MixedBitmap();
  const std::vector<uint64_t> expected = Members(bitmap);
  std::vector<std::thread> readers;
  std::vector<int> mismatches(4, 0);
  for (int reader = 0; reader < 4; ++reader) {
    readers.emplace_back([&, reader] {
      std::mt19937_64 random(reader);
      for (int round = 0; round < 20; ++round) {
        std::vector<uint64_t> seen(bitmap.Cardinality());
        bitmap.CopyTo(seen.data());
        if (seen != expected) ++mismatches[reader];
        for (int probe = 0; probe < 200; ++probe) {
          uint64_t ordinal = random() % expected.size();
          uint64_t value = expected[ordinal];
          if (bitmap.Nth(ordinal) != value || !bitmap.Contains(value) ||
              bitmap.SelfOrNext(value) != value || bitmap.SelfOrPrevious(value) != value ||
              bitmap.LowerCardinality(value) != ordinal) {
            ++mismatches[reader];
          }
          // Probes in missing buckets must not create them.
          bitmap.SelfOrPrevious(7 * kSpan + probe);
          bitmap.SelfOrNext(9 * kSpan + probe);
        }
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
  EXPECT_EQ(bitmap.PersistedSize(true, false, false),
            MixedBitmap().PersistedSize(true, false, false));
}

TEST(BitmapTest, SerialisedFormRoundTripsAndRefusesShortBuffers) {
  for (bool portable : {true, false}) {
    for (bool optimize : {false, true}) {
      Bitmap bitmap = MixedBitmap();
      size_t size = bitmap.PersistedSize(portable, optimize, true);
      std::vector<char> buffer(size + 16, '\x5a');
      ASSERT_EQ(bitmap.Write(buffer.data(), buffer.size(), portable), size);
      EXPECT_EQ(buffer[size], '\x5a') << "wrote past its own size";
      Bitmap decoded = Bitmap::Read(buffer.data(), size, portable);
      EXPECT_TRUE(decoded == bitmap);
      EXPECT_EQ(decoded.Cardinality(), bitmap.Cardinality());

      std::vector<char> short_buffer(size - 1, '\x5a');
      EXPECT_THROW(bitmap.Write(short_buffer.data(), short_buffer.size(), portable),
                   std::length_error);
      EXPECT_EQ(short_buffer, std::vector<char>(size - 1, '\x5a')) << "a refused write wrote";

      // Every truncation is refused, never read past the end.
      for (size_t cut = 0; cut < size; cut += cut < 64 ? 1 : 997) {
        std::vector<char> truncated(buffer.begin(), buffer.begin() + static_cast<long>(cut));
        EXPECT_ANY_THROW(Bitmap::Read(truncated.data(), truncated.size(), portable)) << cut;
      }
    }
  }
  Bitmap empty;
  char image[8];
  ASSERT_EQ(empty.Write(image, sizeof(image), true), 8u);
  EXPECT_TRUE(Bitmap::Read(image, sizeof(image), true).Empty());
}

TEST(BitmapTest, DamagedImagesAreRefusedOrDecodeSafely) {
  Bitmap bitmap = MixedBitmap();
  for (bool portable : {true, false}) {
    size_t size = bitmap.PersistedSize(portable, true, true);
    std::vector<char> image(size);
    bitmap.Write(image.data(), size, portable);
    std::mt19937_64 random(portable);
    for (int trial = 0; trial < 3000; ++trial) {
      std::vector<char> damaged = image;
      for (int flips = 0; flips < 3; ++flips) {
        // Headers and container descriptions sit near the front of each bucket image.
        size_t at = trial % 2 ? random() % std::min<size_t>(size, 200) : random() % size;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 << (random() % 8)));
      }
      try {
        Bitmap decoded = Bitmap::Read(damaged.data(), damaged.size(), portable);
        // Whatever decodes must be a sound bitmap: walk and query it.
        uint64_t count = 0;
        decoded.ForEach([&](uint64_t) { ++count; });
        EXPECT_EQ(count, decoded.Cardinality());
        decoded.InplaceUnion(bitmap);
        decoded.FlipRange(0, 100000);
      } catch (const std::exception&) {
      }
    }
  }
}

TEST(BitmapTest, BucketImageCheckRejectsBrokenContainers) {
  // Portable image with one run container: cookie 12347 | (count - 1) << 16, run flags,
  // key/cardinality header, then the runs.
  auto run_image = [](uint16_t start, uint16_t length_minus_one, uint16_t cardinality_minus_one) {
    std::vector<uint8_t> bytes = {0x3b, 0x30, 0, 0, 1, 0, 0};
    bytes.push_back(static_cast<uint8_t>(cardinality_minus_one));
    bytes.push_back(static_cast<uint8_t>(cardinality_minus_one >> 8));
    bytes.insert(bytes.end(), {1, 0});
    for (uint16_t v : {start, length_minus_one}) {
      bytes.push_back(static_cast<uint8_t>(v));
      bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    return bytes;
  };
  auto accepted = [](const std::vector<uint8_t>& bytes) {
    return CheckPortableImage(reinterpret_cast<const char*>(bytes.data()), bytes.size())
        .has_value();
  };
  EXPECT_TRUE(accepted(run_image(10, 4, 4)));
  EXPECT_FALSE(accepted(run_image(65530, 10, 10))) << "run passing 65535";
  EXPECT_FALSE(accepted(run_image(10, 4, 9))) << "cardinality disagreeing with the runs";

  // Array container with values out of order.
  std::vector<uint8_t> array_image = {0x3a, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0,
                                      16, 0,    0, 0, 9, 0, 3, 0};
  EXPECT_FALSE(accepted(array_image));
  std::swap(array_image[16], array_image[18]);
  EXPECT_TRUE(accepted(array_image));
  roaring_bitmap_t* decoded = DecodeBucketImage(
      reinterpret_cast<const char*>(array_image.data()), array_image.size(), true);
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(roaring_bitmap_get_cardinality(decoded), 2u);
  roaring_bitmap_free(decoded);

  // Bucket keys out of order in the outer layout.
  Bitmap two;
  two.Add(1);
  two.Add(kSpan + 1);
  std::vector<char> image(two.PersistedSize(true, true, true));
  two.Write(image.data(), image.size(), true);
  image[8] = 2;  // first key 2 > second key 1
  EXPECT_THROW(Bitmap::Read(image.data(), image.size(), true), std::runtime_error);
}

TEST(BitmapTest, ContractAndExpandMoveMembersAcrossBuckets) {
  const std::vector<uint64_t> values = {1, kSpan - 5, kSpan + 2, 2 * kSpan + 10};
  Bitmap bitmap(values.data(), values.size());
  bitmap.Expand(kSpan - 5, 10);
  EXPECT_EQ(Members(bitmap), (std::vector<uint64_t>{1, kSpan + 5, kSpan + 12, 2 * kSpan + 20}));
  // Position's bucket holds members and the gap is wider than position's low half.
  EXPECT_THROW(bitmap.Contract(kSpan + 3, 3), std::invalid_argument);
  EXPECT_EQ(Members(bitmap), (std::vector<uint64_t>{1, kSpan + 5, kSpan + 12, 2 * kSpan + 20}));
  bitmap.Contract(kSpan + 4, 3);  // kSpan + 5 lies in the gap
  EXPECT_EQ(Members(bitmap), (std::vector<uint64_t>{1, kSpan + 9, 2 * kSpan + 17}));

  // From an unused bucket: the gap's members go, the rest move down a whole bucket.
  Bitmap upper;
  upper.Add(2 * kSpan);
  upper.Add(3 * kSpan + 5);
  upper.Contract(kSpan + 50, kSpan);
  EXPECT_EQ(Members(upper), (std::vector<uint64_t>{2 * kSpan + 5}));

  Bitmap top;
  top.Add(kMax - 3);
  EXPECT_THROW(top.Expand(0, 4), std::invalid_argument);
  EXPECT_EQ(Members(top), (std::vector<uint64_t>{kMax - 3}));
  top.Expand(0, 3);
  EXPECT_EQ(Members(top), (std::vector<uint64_t>{kMax}));
  top.Add(5 * kSpan + 100);
  top.Contract(6 * kSpan + 1, kMax);  // gap reaches past the top: drops everything above
  EXPECT_EQ(Members(top), (std::vector<uint64_t>{5 * kSpan + 100}));
}

}  // namespace
}  // namespace storage
}  // namespace quillmark
