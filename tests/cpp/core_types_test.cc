#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/address.h"
#include "engine/core/guid.h"
#include "engine/core/key_hash.h"
#include "engine/core/record.h"
#include "engine/core/thread.h"

using namespace psfstore::core;

namespace {

uint64_t RotateRight(uint64_t value, unsigned bits) { return (value >> bits) | (value << (64 - bits)); }

}  // namespace

TEST(KeyHashTest, GeneralKeyMatchesHandComputation) {
  // id 7, bytes "a\x80": h = 2*40343 + 7; h = h*40343 + 97; h = h*40343 - 128.
  const char bytes[] = {'a', static_cast<char>(0x80)};
  uint64_t h = 2 * 40343ull + 7;
  h = h * 40343ull + 97;
  h = h * 40343ull + static_cast<uint64_t>(int64_t{-128});
  EXPECT_EQ(KeyHash::OfGeneralKey(7, bytes, 2).control(), RotateRight(h * 40343ull, 6));
  // Same bytes, different ids give different hashes; the empty key hashes the id alone.
  EXPECT_NE(KeyHash::OfGeneralKey(1, bytes, 2), KeyHash::OfGeneralKey(2, bytes, 2));
  EXPECT_EQ(KeyHash::OfGeneralKey(3, nullptr, 0).control(), RotateRight(3 * 40343ull, 6));
  // 0x80 must count as -128, not +128.
  const char positive[] = {'a', 0x7F};
  EXPECT_NE(KeyHash::OfGeneralKey(7, bytes, 2), KeyHash::OfGeneralKey(7, positive, 2));
}

// Stored hash entries and key pointers were made by the byte-at-a-time definition: the
// hash must keep every value of it, for every length (the words it folds at once, and
// the bytes left over) and for bytes of both signs, whether made from the bytes or from
// their polynomial, folded earlier (the shift by B^length covers lengths of every bit).
TEST(KeyHashTest, GeneralKeyKeepsTheByteAtATimeDefinition) {
  std::string bytes;
  for (int i = 0; i < 5000; ++i) bytes.push_back(static_cast<char>(i * 37 + 101));  // half above 0x7F
  for (size_t length = 0; length <= bytes.size(); length += length < 41 ? 1 : 997) {
    uint64_t h = length * 40343ull + 5;
    for (size_t i = 0; i < length; ++i) h = h * 40343ull + static_cast<uint64_t>(int64_t{int8_t(bytes[i])});
    EXPECT_EQ(KeyHash::OfGeneralKey(5, bytes.data(), length).control(), RotateRight(h * 40343ull, 6)) << length;
    const uint64_t polynomial = recorder::data::ContinueValuePolynomial(0, bytes.data(), length);
    EXPECT_EQ(KeyHash::OfGeneralKeyPolynomial(5, length, polynomial).control(), RotateRight(h * 40343ull, 6))
        << length;
  }
}

TEST(KeyHashTest, InlineKeyMatchesFoldedConstant) {
  EXPECT_EQ(KeyHash::OfInlineKey(0, 0).control(), RotateRight(0xE38B1C02D3F5CBB8ull, 43));
  for (uint32_t id : {0u, 1u, 77u, 0xFFFFFFFFu}) {
    for (uint32_t value : {0u, 1u, 0x10000u, 0xDEADBEEFu}) {
      uint64_t key = (uint64_t{id} << 32) + value;
      uint64_t folded = (((key & 0xFFFF) * 40343 + ((key >> 16) & 0xFFFF)) * 40343 + ((key >> 32) & 0xFFFF)) *
                            40343 + (key >> 48);
      folded = folded * 40343 + 0xE38B1C02D3F5CBB8ull;
      EXPECT_EQ(KeyHash::OfInlineKey(id, value).control(), RotateRight(folded, 43)) << id << " " << value;
    }
  }
  KeyHash hash{0x3FFF'0000'0000'1234ull | (uint64_t{1} << 63)};
  EXPECT_EQ(hash.tag(), 0x3FFF);
  EXPECT_EQ(hash.BucketIndex(4096), 0x234u);
}

TEST(RecordLayoutTest, HeaderPackingAndSizes) {
  EXPECT_EQ(RecordHeader::RecordSize(0, 1, 0), 16u);
  EXPECT_EQ(RecordHeader::RecordSize(2, 100, 0), 192u);
  EXPECT_EQ(RecordHeader::RecordSize(1, 7, 9), 8u + 40 + 16);

  RecordHeader header(32767, (1u << 25) - 1, 255, 8192 + 5, true);
  EXPECT_EQ(header.key_pointer_count(), 32767u);
  EXPECT_EQ(header.payload_size(), (1u << 25) - 1);
  EXPECT_EQ(header.optional_size(), 255u);
  EXPECT_EQ(header.checkpoint_version(), 5u);
  EXPECT_TRUE(header.invalid());
  EXPECT_EQ(header.control() >> 62, 2u);  // bit 63 set, bit 62 clear
  header.set_invalid(false);
  EXPECT_FALSE(header.invalid());
  EXPECT_EQ(header.key_pointer_count(), 32767u);
  EXPECT_TRUE(RecordHeader{}.IsNull());

  RecordHeader small(3, 10, 16, 1, false);
  EXPECT_EQ(small.control(), 3ull | (10ull << 15) | (16ull << 40) | (1ull << 48) | (1ull << 63));
}

TEST(RecordLayoutTest, KeyPointerPackingAndNavigation) {
  KeyPointer general = KeyPointer::General(3, Address{0xABCDEF012345ull}, 0x3FFF, (1u << 25) - 1, 12);
  EXPECT_EQ(general.kind(), KeyPointer::Kind::General);
  EXPECT_EQ(general.position(), 3u);
  EXPECT_EQ(general.previous_address().control(), 0xABCDEF012345ull);
  EXPECT_EQ(general.general_predicate_id(), 0x3FFFu);
  EXPECT_EQ(general.value_offset(), (1u << 25) - 1);
  EXPECT_EQ(general.value_size(), 12u);
  general.set_previous_address(Address::Invalid());
  EXPECT_EQ(general.previous_address(), Address::Invalid());
  EXPECT_EQ(general.position(), 3u);

  KeyPointer inline_pointer = KeyPointer::Inline(1, Address{64}, 0xFFFFFFFF, 0x12345678);
  EXPECT_TRUE(inline_pointer.is_inline());
  EXPECT_EQ(inline_pointer.inline_predicate_id(), 0xFFFFFFFFu);
  EXPECT_EQ(inline_pointer.inline_value(), 0x12345678u);
  EXPECT_EQ(inline_pointer.value_words()[0], 0u);

  // Key pointer 3 of a record at 4096 sits at 4096 + 8 + 120 and leads back to 4096.
  Address pointer_address = KeyPointer::KeyPointerAddress(Address{4096}, 3);
  EXPECT_EQ(pointer_address.control(), 4096u + 8 + 120);
  EXPECT_EQ(KeyPointer::RecordAddress(pointer_address, 3).control(), 4096u);

  PageOffset overflowing(5, Address::kPageSize + 100);
  EXPECT_EQ(overflowing.ToAddress(), Address(5, Address::kMaxOffset));
  EXPECT_EQ(Address(2, 64).control(), (2ull << 25) + 64);
}

TEST(GuidTest, TextRoundTripAndParser) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    Guid guid = Guid::Create();
    std::string text = guid.ToString();
    ASSERT_EQ(text.size(), 36u);
    EXPECT_EQ(text[8], '-');
    EXPECT_EQ(text[13], '-');
    EXPECT_EQ(text[18], '-');
    EXPECT_EQ(text[23], '-');
    EXPECT_EQ(text[14], '4');  // version 4
    EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos);  // RFC variant
    for (char c : text) EXPECT_FALSE(c >= 'a' && c <= 'z');
    auto parsed = Guid::Parse(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, guid);
    std::string lower = text;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(Guid::Parse(lower), guid);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);

  Guid known = *Guid::Parse("01234567-89ab-CDEF-0011-223344556677");
  EXPECT_EQ(known.data1, 0x01234567u);
  EXPECT_EQ(known.data2, 0x89ABu);
  EXPECT_EQ(known.data3, 0xCDEFu);
  EXPECT_EQ(known.data4[0], 0x00);
  EXPECT_EQ(known.data4[7], 0x77);
  // Platform layout: little-endian u32 first.
  EXPECT_EQ(reinterpret_cast<const uint8_t*>(&known)[0], 0x67);
  EXPECT_EQ(known.ToString(), "01234567-89AB-CDEF-0011-223344556677");

  for (const char* bad : {"", "01234567-89ab-CDEF-0011-22334455667", "{01234567-89ab-CDEF-0011-223344556677}",
                          "01234567-89ab-CDEF-0011-22334455667G", "0123456789ab-CDEF-0011-2233-44556677",
                          "01234567-89ab-CDEF-0011-2233445566778", "01234567 89ab CDEF 0011 223344556677"}) {
    EXPECT_FALSE(Guid::Parse(bad).has_value()) << bad;
  }
}

// Identifiers come from per-thread generators: threads, and a forked child that inherits
// its parent's generator, must still never repeat one another's.
TEST(GuidTest, UniqueAcrossThreadsAndFork) {
  constexpr int kThreads = 4, kPerThread = 20000;
  std::vector<std::vector<Guid>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kPerThread; ++i) made[t].push_back(Guid::Create());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::string> seen;
  for (const auto& list : made) {
    for (const Guid& guid : list) seen.insert(guid.ToString());
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));

  (void)Guid::Create();  // the parent's generator is keyed before the fork
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Guid guid = Guid::Create();
    _exit(write(pipe_ends[1], &guid, sizeof(guid)) == sizeof(guid) ? 0 : 1);
  }
  Guid from_child;
  ASSERT_EQ(read(pipe_ends[0], &from_child, sizeof(from_child)), static_cast<ssize_t>(sizeof(from_child)));
  int status = 0;
  waitpid(child, &status, 0);
  close(pipe_ends[0]);
  close(pipe_ends[1]);
  EXPECT_NE(Guid::Create(), from_child);
}

TEST(ThreadIdTest, NinetySixConcurrentThreadsThenRefusal) {
  std::mutex mutex;
  std::condition_variable release_cv;
  bool release = false;
  std::atomic<int> ready{0};
  std::vector<uint32_t> ids(Thread::kMaxThreads, Thread::kInvalidId);
  // The test's own thread may hold an id too; claim it first so the count is exact.
  (void)Thread::id();
  uint32_t others = Thread::kMaxThreads - Thread::HeldCount();
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < others; ++i) {
    threads.emplace_back([&, i] {
      ids[i] = Thread::id();
      ready.fetch_add(1);
      std::unique_lock<std::mutex> lock(mutex);
      release_cv.wait(lock, [&] { return release; });
    });
  }
  while (ready.load() < static_cast<int>(others)) std::this_thread::yield();
  std::set<uint32_t> distinct(ids.begin(), ids.begin() + others);
  distinct.insert(Thread::id());
  EXPECT_EQ(distinct.size(), Thread::kMaxThreads);

  std::string error;
  std::thread extra([&] {
    try {
      Thread::id();
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
  });
  extra.join();
  EXPECT_EQ(error, "Too many threads!");

  {
    std::lock_guard<std::mutex> lock(mutex);
    release = true;
  }
  release_cv.notify_all();
  for (auto& thread : threads) thread.join();
  // Ids come back when threads exit.
  uint32_t again = Thread::kInvalidId;
  std::thread later([&] { again = Thread::id(); });
  later.join();
  EXPECT_LT(again, Thread::kMaxThreads);
}

// The record's bytes, written out by hand: a mistake made alike in the writer and the
// readers cannot pass. Two general key pointers: the string "xy" inside the payload and
// the integer 7 in the optional bytes after it.
TEST(RecordLayoutTest, WriterProducesTheHandWrittenBytes) {
  const std::string payload = R"({"a":"xy","n":7})";
  const char optional[8] = {7, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t expected[] = {
      0x02, 0x00, 0x08, 0x00, 0x00, 0x08, 0x03, 0x80,  // header: 2 pointers, 16 + 8 bytes, version 3, valid
      0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,  // pointer 0: general, position 0, previous 64
      0x01, 0x80, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00,  //   predicate 1, value at 6, 2 bytes
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   String
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   no process address
      0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   length 2
      0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,  // pointer 1: general, position 1, previous 1
      0x02, 0x00, 0x04, 0x00, 0x00, 0x04, 0x00, 0x00,  //   predicate 2, value at 16, 8 bytes
      0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   Int64
      0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   7
      0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   length 8
      '{', '"', 'a', '"', ':', '"', 'x', 'y', '"', ',', '"', 'n', '"', ':', '7', '}',
      0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // optional: the integer's bytes
  };
  const RecordHeader header{2, 16, 8, 3, true};
  ASSERT_EQ(header.record_size(), sizeof(expected));

  // The string's view points into a copy that dies before the comparison.
  std::vector<uint8_t> record(sizeof(expected), 0xEE);
  {
    const std::string batch = payload;
    RecordWriter writer{record.data(), header};
    writer.WriteValues(batch.data(), optional);
    const auto text = recorder::data::GenericValue::OfString(batch.data() + 6, 2);
    writer.WriteKeyPointer(0, KeyPointer::General(0, Address{64}, 1, 6, text));
    writer.WriteKeyPointer(1, KeyPointer::General(1, Address{1}, 2, 16, recorder::data::GenericValue::OfInt64(7)));
    writer.Publish();
  }
  EXPECT_EQ(record, std::vector<uint8_t>(std::begin(expected), std::end(expected)));

  // And read back through the readers.
  const RecordHeader read = ReadRecordHeader(record.data());
  EXPECT_FALSE(read.invalid());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(RecordPayload(record.data(), read)), read.payload_size()), payload);
  const KeyPointer text = ReadKeyPointer(record.data(), 0);
  const uint8_t* text_bytes = GeneralValueBytes(record.data(), read, text);
  ASSERT_NE(text_bytes, nullptr);
  EXPECT_EQ(recorder::data::GenericValue::FromKeyPointerWords(text.value_words(), reinterpret_cast<const char*>(text_bytes)).String(), "xy");
  const KeyPointer number = ReadKeyPointer(record.data(), 1);
  EXPECT_EQ(RecordOfKeyPointer(record.data() + RecordHeader::KeyPointerOffset(1), number.position()), record.data());
  EXPECT_EQ(recorder::data::GenericValue::FromKeyPointerWords(number.value_words(), nullptr).Int64(), 7);
  // A value reaching past the record's values is refused, not read.
  const KeyPointer damaged = KeyPointer::General(0, Address{1}, 1, 20, 5);
  EXPECT_EQ(GeneralValueBytes(record.data(), read, damaged), nullptr);
}
