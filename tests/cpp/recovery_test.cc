#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/core/internal_hash_table.h"
#include "engine/core/light_epoch.h"
#include "engine/core/record.h"
#include "engine/persistence/file_system_disk.h"
#include "engine/persistence/log_replay.h"
#include "temp_directory.h"

using namespace psfstore;
using namespace psfstore::core;
using test_support::TempDirectory;

namespace {

using Disk = device::FileSystemDisk<LightEpoch>;
constexpr uint64_t kPage = Address::kPageSize;

// A log image in memory, written to the store's first segment file as a whole.
class LogImage {
 public:
  explicit LogImage(uint64_t pages) : bytes_(pages * kPage, 0) {}

  // Appends a record whose payload is `json` with one general key pointer per value
  // (a string inside the payload) and optionally one inline key pointer. Returns the
  // record's address.
  Address Append(uint32_t version, const std::string& json, const std::vector<std::pair<uint32_t, std::string>>& keys,
                 bool with_inline = false, bool invalid = false) {
    uint32_t pointers = static_cast<uint32_t>(keys.size()) + (with_inline ? 1 : 0);
    uint64_t size = RecordHeader::RecordSize(pointers, json.size(), 0);
    if (tail_ % kPage + size > kPage) tail_ = (tail_ / kPage + 1) * kPage;
    Address address{tail_};
    RecordHeader header{pointers, static_cast<uint32_t>(json.size()), 0, version, invalid};
    uint8_t* record = bytes_.data() + tail_;
    std::memcpy(record, &header, 8);
    uint32_t position = 0;
    for (const auto& [predicate, value] : keys) {
      size_t offset = json.find(value);
      KeyPointer pointer = KeyPointer::General(position, Address::Invalid(), predicate, static_cast<uint32_t>(offset),
                                               static_cast<uint32_t>(value.size()));
      std::memcpy(record + 8 + 40 * position++, &pointer, 40);
    }
    if (with_inline) {
      KeyPointer pointer = KeyPointer::Inline(position, Address::Invalid(), 3, 77);
      std::memcpy(record + 8 + 40 * position++, &pointer, 40);
    }
    std::memcpy(record + 8 + 40 * pointers, json.data(), json.size());
    tail_ += size;
    return address;
  }

  void SkipTo(Address address) { tail_ = address.control(); }
  Address tail() const { return Address{tail_}; }
  uint8_t* at(Address address) { return bytes_.data() + address.control(); }

  void WriteTo(const std::string& root, uint64_t pages) const {
    std::ofstream file{root + "/log.log0", std::ios::binary | std::ios::trunc};
    file.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(pages * kPage));
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t tail_ = Address::kFirstValidAddress;
};

RecordHeader HeaderOnDisk(const std::string& root, Address address) {
  std::ifstream file{root + "/log.log0", std::ios::binary};
  file.seekg(static_cast<std::streamoff>(address.control()));
  RecordHeader header;
  file.read(reinterpret_cast<char*>(&header), sizeof(header));
  return header;
}

KeyHash GeneralHash(uint32_t predicate, const std::string& value) {
  return KeyHash::OfGeneralKey(predicate, value.data(), value.size());
}

// The chain head of a key, or the invalid address when the key has no entry.
Address Head(InternalHashTable& table, KeyHash hash) {
  AtomicHashBucketEntry* entry = table.FindEntry(hash);
  return entry == nullptr ? Address::Invalid() : entry->load().address();
}

class ReplayTest : public ::testing::Test {
 protected:
  ReplayTest() : directory{"/tmp"}, disk{directory.path(), epoch}, table{epoch} {
    epoch.Protect();
    table.Initialize(4096);
  }
  ~ReplayTest() override { epoch.Unprotect(); }

  Status Replay(Address start, Address final_address, uint32_t version, uint32_t buffer_pages) {
    return ReplayLog(disk.log(), disk.handler(), table, start, final_address, version, buffer_pages);
  }

  TempDirectory directory;
  LightEpoch epoch;
  Disk disk;
  InternalHashTable table;
};

}  // namespace

TEST_F(ReplayTest, ChainHeadsAreTheNewestCoveredKeyPointersAndNewerRecordsAreInvalidated) {
  for (uint32_t buffer_pages : {1u, 2u, 8u}) {
    SCOPED_TRACE(buffer_pages);
    table.Initialize(4096);
    LogImage log{4};
    Address old_x = log.Append(1, R"({"a":"x"})", {{0, "x"}});
    Address y = log.Append(1, R"({"a":"y","b":"y"})", {{0, "y"}, {1, "y"}}, true);
    log.Append(1, R"({"a":"z"})", {{0, "z"}}, false, /*invalid=*/true);  // never linked
    log.SkipTo(Address{1, 100 * 8});
    Address newest_x = log.Append(1, R"({"a":"x","n":2})", {{0, "x"}});
    log.SkipTo(Address{2, 0});
    Address after_version = log.Append(2, R"({"a":"x","n":3})", {{0, "x"}});
    Address w_after = log.Append(2, R"({"a":"w"})", {{0, "w"}});
    Address final_address = log.tail();
    Address past_final = log.Append(1, R"({"a":"x","n":4})", {{0, "x"}});
    log.WriteTo(directory.path(), 4);

    ASSERT_EQ(Replay(Address{Address::kFirstValidAddress}, final_address, 1, buffer_pages), Status::Ok);
    EXPECT_EQ(Head(table, GeneralHash(0, "x")), KeyPointer::KeyPointerAddress(newest_x, 0));
    EXPECT_NE(Head(table, GeneralHash(0, "x")), KeyPointer::KeyPointerAddress(old_x, 0));
    EXPECT_EQ(Head(table, GeneralHash(0, "y")), KeyPointer::KeyPointerAddress(y, 0));
    EXPECT_EQ(Head(table, GeneralHash(1, "y")), KeyPointer::KeyPointerAddress(y, 1));
    EXPECT_EQ(Head(table, KeyHash::OfInlineKey(3, 77)), KeyPointer::KeyPointerAddress(y, 2));
    EXPECT_EQ(Head(table, GeneralHash(0, "z")), Address::Invalid()) << "an invalid record was linked";
    EXPECT_EQ(Head(table, GeneralHash(0, "w")), Address::Invalid()) << "a record after the checkpoint was linked";

    EXPECT_TRUE(HeaderOnDisk(directory.path(), after_version).invalid());
    EXPECT_TRUE(HeaderOnDisk(directory.path(), w_after).invalid());
    EXPECT_FALSE(HeaderOnDisk(directory.path(), newest_x).invalid());
    EXPECT_FALSE(HeaderOnDisk(directory.path(), past_final).invalid()) << "replay went past the final address";
  }
}

TEST_F(ReplayTest, StartsMidPageAndAPageAlignedFinalAddressReadsNoExtraPage) {
  LogImage log{2};
  log.Append(1, R"({"a":"before"})", {{0, "before"}});
  Address start = log.tail();
  Address second = log.Append(1, R"({"a":"x"})", {{0, "x"}});
  log.SkipTo(Address{1, 64});
  Address on_second_page = log.Append(1, R"({"a":"p"})", {{0, "p"}});
  log.WriteTo(directory.path(), 2);  // no page 2 on disk: reading it would fail

  ASSERT_EQ(Replay(start, Address{2, 0}, 1, 4), Status::Ok);
  EXPECT_EQ(Head(table, GeneralHash(0, "before")), Address::Invalid()) << "replayed below the start address";
  EXPECT_EQ(Head(table, GeneralHash(0, "x")), KeyPointer::KeyPointerAddress(second, 0));
  EXPECT_EQ(Head(table, GeneralHash(0, "p")), KeyPointer::KeyPointerAddress(on_second_page, 0));
  // Nothing to replay is no work at all.
  EXPECT_EQ(Replay(start, start, 1, 4), Status::Ok);
}

TEST_F(ReplayTest, MissingPagesAndCorruptRecordsFailTheReplay) {
  LogImage log{3};
  log.Append(1, R"({"a":"x"})", {{0, "x"}});
  log.SkipTo(Address{2, 64});
  log.Append(1, R"({"a":"y"})", {{0, "y"}});
  Address final_address = log.tail();
  log.WriteTo(directory.path(), 2);  // the last page is missing
  EXPECT_EQ(Replay(Address{64}, final_address, 1, 1), Status::IOError);
  EXPECT_EQ(Replay(Address{64}, final_address, 1, 3), Status::IOError);

  // A key pointer whose value lies outside its record.
  LogImage corrupt{1};
  Address record = corrupt.Append(1, R"({"a":"x"})", {{0, "x"}});
  KeyPointer pointer = KeyPointer::General(0, Address::Invalid(), 0, 5, 1000);
  std::memcpy(corrupt.at(record) + 8, &pointer, 40);
  Address end = corrupt.tail();
  corrupt.WriteTo(directory.path(), 1);
  EXPECT_EQ(Replay(Address{64}, end, 1, 1), Status::Corruption);

  // A header whose size runs past the end of its page.
  LogImage oversized{1};
  oversized.SkipTo(Address{0, kPage - 64});
  Address big = oversized.Append(1, R"({"a":"x"})", {});
  RecordHeader header{0, 1000, 0, 1, false};
  std::memcpy(oversized.at(big), &header, 8);
  oversized.WriteTo(directory.path(), 1);
  EXPECT_EQ(Replay(Address{64}, Address{1, 0}, 1, 1), Status::Corruption);
}

TEST(ReplayPageTest, VersionsWrapAtTheRecordVersionWidth) {
  LightEpoch epoch;
  epoch.Protect();
  InternalHashTable table{epoch};
  table.Initialize(256);
  LogImage log{1};
  // Checkpoint version 8191: records of the next version carry 0 in their 13 bits.
  Address newer = log.Append(8192, R"({"a":"x"})", {{0, "x"}});
  Address older = log.Append(8191, R"({"a":"y"})", {{0, "y"}});
  bool modified = false;
  ASSERT_EQ(ReplayPage(table, log.at(Address{0}), Address{0}, Address{64}, log.tail(), 8191, modified), Status::Ok);
  EXPECT_TRUE(modified);
  RecordHeader header;
  std::memcpy(&header, log.at(newer), 8);
  EXPECT_TRUE(header.invalid());
  EXPECT_EQ(Head(table, GeneralHash(0, "y")), KeyPointer::KeyPointerAddress(older, 0));
  epoch.Unprotect();
}
