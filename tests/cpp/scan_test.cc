#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/core/light_epoch.h"
#include "engine/persistence/io/memory_disk.h"
#include "engine/persistence/scan/record_batch_reader.h"
#include "engine/persistence/scan/record_reader.h"
#include "engine/persistence/scan/scan_runner.h"
#include "temp_directory.h"
#include "values/comparator.h"

using namespace psfstore;
using core::Address;
using core::HybridLog;
using core::KeyHash;
using core::KeyPointer;
using core::LightEpoch;
using core::RecordHeader;
using core::Status;
using recorder::data::GenericValue;
using recorder::data::Operand;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;
using test_support::TempDirectory;

namespace {

using Disk = device::StoreDisk<LightEpoch>;
constexpr uint64_t kPage = Address::kPageSize;

// A field value as the test's own model holds it: independent of GenericValue.
using ModelValue = std::variant<int64_t, double, std::string, bool>;

struct ModelRecord {
  Address address;
  std::string json;
  std::map<std::string, ModelValue> fields;  // scalar fields present, by JSON Pointer
  bool indexed = false;                      // carries key pointers
};

// The comparison rules: no conversion between types, strings by unsigned bytes,
// doubles by IEEE order, false < true.
bool ModelEqual(const ModelValue& a, const ModelValue& b) { return a == b; }
bool ModelLess(const ModelValue& value, const ModelValue& operand) {
  if (value.index() != operand.index()) return false;
  if (auto* s = std::get_if<std::string>(&value)) {
    const std::string& t = std::get<std::string>(operand);
    return std::lexicographical_compare(
        s->begin(), s->end(), t.begin(), t.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
  }
  return value < operand;
}

bool ModelMatches(ScanOperation op, const ModelValue& v, const std::vector<ModelValue>& operands) {
  const ModelValue& a = operands.front();
  switch (op) {
    case ScanOperation::EQ: return ModelEqual(v, a);
    case ScanOperation::NE: return !ModelEqual(v, a);
    case ScanOperation::LT: return ModelLess(v, a);
    case ScanOperation::LE: return ModelLess(v, a) || ModelEqual(v, a);
    case ScanOperation::GT: return !(ModelLess(v, a) || ModelEqual(v, a));
    case ScanOperation::GE: return !ModelLess(v, a);
    case ScanOperation::IN:
    case ScanOperation::NI: {
      bool any = false;
      for (const ModelValue& o : operands) any = any || ModelEqual(v, o);
      return op == ScanOperation::IN ? any : !any;
    }
    default: return false;
  }
}

Operand ToOperand(const ModelValue& value) {
  return std::visit([](const auto& v) -> Operand { return v; }, value);
}

std::string JsonOf(const ModelValue& value) {
  if (auto* i = std::get_if<int64_t>(&value)) return std::to_string(*i);
  if (auto* d = std::get_if<double>(&value)) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", *d);
    std::string s = text;
    if (s.find_first_of(".eE") == std::string::npos) s += ".0";
    return s;
  }
  if (auto* b = std::get_if<bool>(&value)) return *b ? "true" : "false";
  return "\"" + std::get<std::string>(value) + "\"";
}

// A session whose phase and version a test sets; Refresh moves it to `next` once.
class TestSession : public core::ScanSession {
 public:
  explicit TestSession(LightEpoch& epoch) : epoch_{epoch} {}
  uint32_t version() const override { return version_; }
  core::Phase phase() const override { return phase_; }
  void Refresh() override {
    epoch_.Protect();
    if (pending_ && --refreshes_until_shift_ == 0) {
      phase_ = core::Phase::REST;
      version_ = next_version_;
      pending_ = false;
      ++shifts;
    }
  }
  void PrepareCheckpoint(uint32_t version) {
    phase_ = core::Phase::PREPARE;
    version_ = version;
    next_version_ = version + 1;
    pending_ = true;
    refreshes_until_shift_ = 2;
  }
  int shifts = 0;

 private:
  LightEpoch& epoch_;
  uint32_t version_ = 1;
  uint32_t next_version_ = 1;
  core::Phase phase_ = core::Phase::REST;
  bool pending_ = false;
  // Like a real thread, the session moves on only after others have caught up: here,
  // at its second refresh.
  int refreshes_until_shift_ = 0;
};

// A log, its disk and a hash index, with records written the way inserts lay them out:
// header, key pointers, payload, optional values; each key pointer linked at the head of
// its chain.
class ScanFixture {
 public:
  // `device`, when given, stands in for the file system (a MemoryDisk that fails reads).
  explicit ScanFixture(uint64_t log_pages, const char* parent = "/dev/shm",
                       std::unique_ptr<device::Disk> device = nullptr)
      : directory{parent},
        disk{device ? std::make_unique<Disk>(directory.path(), epoch, std::move(device))
                    : std::make_unique<Disk>(directory.path(), epoch)},
        log{std::make_unique<HybridLog>(log_pages * kPage, epoch, *disk, Address{0})},
        index{epoch},
        session{epoch} {
    index.Initialize(4096);
    epoch.Protect();
  }
  // The same over a disk of the test's choosing (a MemoryDisk that fails chosen reads).
  ScanFixture(uint64_t log_pages, std::unique_ptr<device::Disk> device)
      : directory{"/dev/shm"},
        disk{std::make_unique<Disk>(directory.path(), epoch, std::move(device))},
        log{std::make_unique<HybridLog>(log_pages * kPage, epoch, *disk, Address{0})},
        index{epoch},
        session{epoch} {
    index.Initialize(4096);
    epoch.Protect();
  }
  ~ScanFixture() {
    epoch.Unprotect();
    log.reset();
  }

  // Appends one record. `keys` are (predicate id, value) pairs given key pointers.
  Address Insert(const std::string& json, const std::vector<std::pair<uint16_t, GenericValue>>& keys,
                 uint32_t version = 1, bool leave_invalid = false) {
    std::string optional;
    std::vector<uint32_t> offsets;
    for (const auto& [id, value] : keys) {
      if (value.type() == GenericValue::Type::String) {
        offsets.push_back(static_cast<uint32_t>(json.find(std::string{value.String()})));
      } else {
        offsets.push_back(static_cast<uint32_t>(json.size() + optional.size()));
        optional += value.bytes();
      }
    }
    uint32_t count = static_cast<uint32_t>(keys.size());
    uint64_t size = RecordHeader::RecordSize(count, json.size(), optional.size());
    Address address = log->ReserveRecordSpace(static_cast<uint32_t>(size), [this] { epoch.Protect(); });
    uint8_t* record = log->Get(address);
    RecordHeader header{count, static_cast<uint32_t>(json.size()), static_cast<uint32_t>(optional.size()),
                        version, true};
    // As the engine's writer does: scans of live pages load the header word atomically.
    __atomic_store_n(reinterpret_cast<uint64_t*>(record), header.control(), __ATOMIC_RELAXED);
    uint8_t* payload = record + 8 + 40 * count;
    std::memcpy(payload, json.data(), json.size());
    std::memcpy(payload + json.size(), optional.data(), optional.size());
    for (uint32_t i = 0; i < count; ++i) {
      const auto& [id, value] = keys[i];
      KeyHash hash = KeyHash::OfGeneralKey(id, value.bytes().data(), value.length());
      core::AtomicHashBucketEntry* slot;
      core::HashBucketEntry seen;
      EXPECT_EQ(index.FindOrCreateEntry(hash, slot, seen), Status::Ok);
      Address key_address = KeyPointer::KeyPointerAddress(address, i);
      KeyPointer pointer = KeyPointer::General(i, seen.address(), id, offsets[i],
                                               static_cast<uint32_t>(value.length()));
      value.WriteWords(pointer.value_words());
      std::memcpy(log->Get(key_address), &pointer, sizeof pointer);
      slot->store(core::HashBucketEntry{key_address, hash.tag(), false});
    }
    if (!leave_invalid) {
      header.set_invalid(false);
      __atomic_store_n(reinterpret_cast<uint64_t*>(record), header.control(), __ATOMIC_RELEASE);
    }
    return address;
  }

  // Lets page writes and closes progress until the head has moved past `address`.
  void WaitUntilOnDisk(Address address) {
    while (log->GetHeadAddress() <= address) {
      disk->TryComplete();
      epoch.Protect();
      // The head follows the tail only as far as pages are written; pages written
      // since the tail last moved let it go on.
      log->MoveHeadMarker(log->GetTailAddress().page());
    }
  }

  std::vector<uint64_t> FullScan(const std::string& field, ScanOperation op,
                                 const std::vector<Operand>& operands, Address start = Address{0},
                                 Address end = Address::Max(), Status expected = Status::Ok) {
    Comparator comparator{operands};
    core::BasicFullScanner scanner{field, Comparator::Bind(op, comparator)};
    EXPECT_EQ(core::RunFullScan(*log, session, scanner, start, end), expected);
    scanner.ThrowIfFailed();
    return Sorted(scanner.results());
  }

  std::vector<uint64_t> ChainScan(uint16_t id, const Operand& key, Address start = Address{0},
                                  Address end = Address::Max()) {
    Comparator comparator{{key}};
    GenericValue value = comparator.operands().front();
    core::BasicScanner scanner{id, KeyHash::OfGeneralKey(id, value.bytes().data(), value.length()),
                               Comparator::Bind(ScanOperation::EQ, comparator)};
    EXPECT_EQ(core::RunChainScan(*log, index, session, scanner, start, end), Status::Ok);
    EXPECT_EQ(scanner.match_count(), scanner.results().Cardinality()) << "a record touched twice";
    return Sorted(scanner.results());
  }

  static std::vector<uint64_t> Sorted(const quillmark::storage::Bitmap& bitmap) {
    std::vector<uint64_t> values;
    for (uint64_t i = 0, n = bitmap.Cardinality(); i < n; ++i) values.push_back(bitmap.Nth(i));
    return values;
  }

  LightEpoch epoch;
  TempDirectory directory;
  std::unique_ptr<Disk> disk;
  std::unique_ptr<HybridLog> log;
  core::InternalHashTable index;
  TestSession session;
};

// Generated records with fields of every scalar type, missing fields, escapes, and
// values at integer and float boundaries; "/s" and "/n" are projected (ids 0 and 1)
// on records after the first `unindexed`.
class Model {
 public:
  static constexpr uint16_t kStringId = 0;
  static constexpr uint16_t kIntId = 1;

  Model(ScanFixture& fixture, size_t count, size_t unindexed, size_t pad_bytes, uint32_t seed = 7) {
    std::mt19937_64 random{seed};
    const std::vector<int64_t> ints = {0, 1, -1, 42, INT64_MAX, INT64_MIN, 1000000007};
    const std::vector<double> doubles = {0.0, -0.5, 1.5, 3.0, 1e300, -1e-300, 2.2250738585072014e-308};
    const std::vector<std::string> strings = {"", "a", "ab", "b", "x\\\"y", "\\u00e9t\\u00e9", "zz", "A"};
    std::string pad(pad_bytes, 'p');
    for (size_t i = 0; i < count; ++i) {
      ModelRecord record;
      std::string json = "{\"id\":" + std::to_string(i);
      auto add = [&](const std::string& name, const ModelValue& value) {
        json += ",\"" + name + "\":" + JsonOf(value);
        record.fields["/" + name] = value;
      };
      if (random() % 8 != 0) add("s", strings[random() % strings.size()]);
      if (random() % 8 != 0) add("n", ints[random() % ints.size()]);
      if (random() % 4 != 0) add("d", doubles[random() % doubles.size()]);
      if (random() % 4 != 0) add("b", random() % 2 == 0);
      // "/m" holds any type: comparisons across types never match.
      switch (random() % 4) {
        case 0: add("m", int64_t{3}); break;
        case 1: add("m", 3.0); break;
        case 2: add("m", std::string{"3"}); break;
        default: add("m", true); break;
      }
      if (pad_bytes > 0) json += ",\"pad\":\"" + pad + "\"";
      json += ",\"o\":{\"s\":[1,2]}}";
      std::vector<std::pair<uint16_t, GenericValue>> keys;
      record.indexed = i >= unindexed;
      if (record.indexed) {
        auto s = record.fields.find("/s");
        if (s != record.fields.end()) {
          // The string value's bytes lie in the payload: the first occurrence of
          // "s":"<value>" gives their position.
          const std::string& text = std::get<std::string>(s->second);
          size_t at = json.find("\"s\":\"" + text + "\"") + 5;
          keys.emplace_back(kStringId, GenericValue::OfString(json.data() + at, text.size()));
        }
        auto n = record.fields.find("/n");
        if (n != record.fields.end()) keys.emplace_back(kIntId, GenericValue::OfInt64(std::get<int64_t>(n->second)));
      }
      record.json = json;
      record.address = fixture.Insert(json, keys);
      records.push_back(std::move(record));
    }
  }

  std::vector<uint64_t> Expected(const std::string& field, ScanOperation op,
                                 const std::vector<ModelValue>& operands, Address start, Address end,
                                 bool indexed_only = false) const {
    std::vector<uint64_t> result;
    for (const ModelRecord& record : records) {
      if (record.address < start || record.address > end) continue;
      if (indexed_only && !record.indexed) continue;
      auto field_value = record.fields.find(field);
      if (field_value == record.fields.end()) continue;
      if (ModelMatches(op, field_value->second, operands)) result.push_back(record.address.control());
    }
    std::sort(result.begin(), result.end());
    return result;
  }

  std::vector<ModelRecord> records;
};

struct Query {
  std::string field;
  std::vector<ModelValue> operands;
};

const std::vector<Query>& Queries() {
  static const std::vector<Query> queries = {
      {"/s", {std::string{"ab"}}},
      {"/s", {std::string{"x\\\"y"}, std::string{""}}},
      {"/n", {int64_t{42}}},
      {"/n", {INT64_MIN, INT64_MAX}},
      {"/d", {3.0}},
      {"/d", {int64_t{3}}},  // an integer operand never matches a double field
      {"/b", {true}},
      {"/m", {int64_t{3}}},
      {"/missing", {int64_t{1}}},
  };
  return queries;
}

constexpr ScanOperation kOperations[] = {ScanOperation::EQ, ScanOperation::NE, ScanOperation::LT,
                                         ScanOperation::LE, ScanOperation::GT, ScanOperation::GE,
                                         ScanOperation::IN, ScanOperation::NI};

std::vector<Operand> Operands(const std::vector<ModelValue>& values) {
  std::vector<Operand> operands;
  for (const ModelValue& v : values) operands.push_back(ToOperand(v));
  return operands;
}

// Every operation on every query field, with and without bounds, by full scan; EQ on
// the projected fields by chain scan too. Over data on disk every full scan reads
// several pages, so `thorough` false keeps bounds for the EQ scans only.
void CheckAllQueries(ScanFixture& fixture, const Model& model, Address low, Address high,
                     bool thorough) {
  const std::vector<std::pair<Address, Address>> bounds = {
      {Address{0}, Address::Max()}, {low, high}, {high, low}};
  for (const Query& query : Queries()) {
    for (ScanOperation op : kOperations) {
      // LE and GT are LT or EQ and their negation: in memory only.
      if (!thorough && (op == ScanOperation::LE || op == ScanOperation::GT)) continue;
      bool bounded = thorough || op == ScanOperation::EQ;
      for (auto [start, end] : bounds) {
        if (!bounded && start != Address{0}) continue;
        ASSERT_EQ(fixture.FullScan(query.field, op, Operands(query.operands), start, end),
                  model.Expected(query.field, op, query.operands, start, end))
            << query.field << " op " << static_cast<int>(op) << " [" << start.control() << ", "
            << end.control() << "]";
      }
    }
  }
  for (const auto& [field, id] : {std::pair{"/s", Model::kStringId}, std::pair{"/n", Model::kIntId}}) {
    for (const Query& query : Queries()) {
      if (query.field != field) continue;
      for (auto [start, end] : bounds) {
        ASSERT_EQ(fixture.ChainScan(id, ToOperand(query.operands.front()), start, end),
                  model.Expected(field, ScanOperation::EQ, {query.operands.front()}, start, end, true))
            << field << " chain [" << start.control() << ", " << end.control() << "]";
      }
    }
  }
}

TEST(ScanTest, EveryOperationInMemoryMatchesTheModel) {
  ScanFixture fixture{6};
  Model model{fixture, 3000, 1000, 0};
  // Bounds that fall exactly on records: both ends are inclusive.
  Address low = model.records[700].address;
  Address high = model.records[2400].address;
  CheckAllQueries(fixture, model, low, high, true);
  EXPECT_LE(fixture.log->GetHeadAddress(), model.records.front().address) << "all in memory";
}

TEST(ScanTest, EveryOperationOnDiskMatchesTheModel) {
  // Six pages of log memory filled about three times over: most records are read back
  // from the log file, and the answers are the same as in memory.
  ScanFixture fixture{6};
  Model model{fixture, 2000, 700, 120000};
  fixture.WaitUntilOnDisk(model.records[1200].address);
  ASSERT_GT(fixture.log->GetHeadAddress(), model.records[1200].address);
  Address low = model.records[300].address;
  Address high = model.records[1950].address;  // in memory
  ASSERT_GE(high, fixture.log->GetHeadAddress());
  CheckAllQueries(fixture, model, low, high, false);
}

TEST(ScanTest, ChainAcrossMemoryAndDiskWithNearAndFarHops) {
  ScanFixture fixture{6};
  std::vector<uint64_t> expected;
  std::string pad(5000, 'p');
  std::mt19937 random{11};
  // Runs of consecutive chain members (small hops: the reads widen) separated by long
  // stretches of other records (far hops: the reads shrink again).
  for (int run = 0; run < 300; ++run) {
    int members = 1 + random() % 40;
    for (int i = 0; i < members; ++i) {
      std::string json = "{\"k\":\"hot\",\"pad\":\"" + pad + "\"}";
      Address address = fixture.Insert(json, {{3, GenericValue::OfString(json.data() + 6, 3)}});
      expected.push_back(address.control());
    }
    int others = random() % 400;
    for (int i = 0; i < others; ++i) {
      std::string json = "{\"k\":\"cold\",\"pad\":\"" + pad + "\"}";
      fixture.Insert(json, {{3, GenericValue::OfString(json.data() + 6, 4)}});
    }
  }
  Address first = Address{expected.front()};
  fixture.WaitUntilOnDisk(Address{expected[expected.size() / 2]});
  EXPECT_GT(fixture.log->GetHeadAddress(), first);
  EXPECT_EQ(fixture.ChainScan(3, std::string{"hot"}), expected);
  // Bounds exactly on chain records are inclusive; bounds between a record's start and
  // its key pointer leave that record out.
  size_t a = expected.size() / 5, b = expected.size() - 3;
  std::vector<uint64_t> bounded(expected.begin() + a, expected.begin() + b + 1);
  EXPECT_EQ(fixture.ChainScan(3, std::string{"hot"}, Address{expected[a]}, Address{expected[b]}), bounded);
  std::vector<uint64_t> inner(expected.begin() + a + 1, expected.begin() + b);
  EXPECT_EQ(fixture.ChainScan(3, std::string{"hot"}, Address{expected[a] + 8}, Address{expected[b] - 8}), inner);
  // A key with no hash-index entry completes at once with nothing.
  EXPECT_TRUE(fixture.ChainScan(3, std::string{"none"}).empty());
  EXPECT_TRUE(fixture.ChainScan(4, std::string{"hot"}).empty()) << "another predicate's chain";
  // The reading of records the scan found: from disk below the head, from memory above.
  core::RecordReader reader{*fixture.log, fixture.session};
  core::PaddedBuffer payload;
  for (uint64_t address : {expected.front(), expected[expected.size() / 2], expected.back()}) {
    ASSERT_EQ(reader.ReadPayload(Address{address}, payload), Status::Ok);
    EXPECT_EQ(std::string(payload.data(), payload.size()), "{\"k\":\"hot\",\"pad\":\"" + pad + "\"}");
  }
}

TEST(ScanTest, PrefetchLevelGrowsOnNearHopsAndResetsOnFarOnes) {
  uint8_t level = 0;
  for (uint8_t expected : {1, 2, 3, 4, 4}) {
    level = core::NextPrefetchLevel(level, core::kNearHopBytes);
    EXPECT_EQ(level, expected);
  }
  EXPECT_EQ(core::NextPrefetchLevel(level, core::kNearHopBytes + 1), 0);
}

TEST(ScanTest, InvalidRecordsEmptySpaceAndFieldsThatAreNotScalars) {
  ScanFixture fixture{6};
  Address valid = fixture.Insert("{\"a\":1}", {{0, GenericValue::OfInt64(1)}});
  fixture.Insert("{\"a\":1}", {{0, GenericValue::OfInt64(1)}}, 1, /*leave_invalid=*/true);
  // A record that fills its page up to a gap: the next record starts a new page and the
  // zero-filled rest of the page is skipped.
  // Its size leaves 8 bytes of the page, too few for any record.
  uint64_t payload_size = kPage - fixture.log->GetTailAddress().offset() - 16;
  std::string big = "{\"a\":1,\"p\":\"" + std::string(payload_size - 15, 'x') + "\"}";
  Address filler = fixture.Insert(big, {});
  Address next = fixture.Insert("{\"a\":1}", {{0, GenericValue::OfInt64(1)}});
  EXPECT_EQ(next, (Address{1, 0}));
  EXPECT_EQ(fixture.FullScan("/a", ScanOperation::EQ, {int64_t{1}}),
            (std::vector<uint64_t>{valid.control(), filler.control(), next.control()}));
  EXPECT_EQ(fixture.ChainScan(0, int64_t{1}), (std::vector<uint64_t>{valid.control(), next.control()}));

  // A field holding an object, an array or null stops the scan with the value error.
  fixture.Insert("{\"a\":null}", {});
  Comparator comparator{{int64_t{1}}};
  core::BasicFullScanner scanner{"/a", Comparator::Bind(ScanOperation::EQ, comparator)};
  EXPECT_EQ(core::RunFullScan(*fixture.log, fixture.session, scanner, Address{0}, Address::Max()), Status::Ok);
  EXPECT_TRUE(scanner.failed());
  EXPECT_THROW(
      try { scanner.ThrowIfFailed(); } catch (const std::logic_error& error) {
        EXPECT_STREQ(error.what(), "The field does not contain a scalar type");
        throw;
      },
      std::logic_error);
  // A field name that is not a JSON Pointer selects nothing.
  EXPECT_TRUE(fixture.FullScan("a", ScanOperation::NE, {int64_t{5}}).empty());
}

TEST(ScanTest, VersionShiftMakesTheSessionCatchUpAndTheScanRestart) {
  ScanFixture fixture{6};
  std::vector<uint64_t> all;
  for (int i = 0; i < 50; ++i) {
    all.push_back(fixture.Insert("{\"v\":7}", {{2, GenericValue::OfInt64(7)}}, i < 25 ? 1 : 2).control());
  }
  // A session still preparing version 1 meets records of version 2: it refreshes into
  // the new version and the scan runs again, counting nothing twice.
  fixture.session.PrepareCheckpoint(1);
  EXPECT_EQ(fixture.FullScan("/v", ScanOperation::EQ, {int64_t{7}}), all);
  EXPECT_EQ(fixture.session.shifts, 1);
  fixture.session.PrepareCheckpoint(1);
  EXPECT_EQ(fixture.ChainScan(2, int64_t{7}), all);
  EXPECT_EQ(fixture.session.shifts, 2);
  // Directly: the in-memory part reports the shift with the resume point saved.
  fixture.session.PrepareCheckpoint(1);
  Comparator comparator{{int64_t{7}}};
  core::BasicScanner scanner{2, KeyHash::OfGeneralKey(2, "\x07\0\0\0\0\0\0\0", 8),
                             Comparator::Bind(ScanOperation::EQ, comparator)};
  core::ChainScanContext context{scanner, Address{0}, Address::Max()};
  EXPECT_EQ(core::ChainScan(*fixture.log, fixture.index, fixture.session, context, Address{0}, Address::Max()),
            core::ScanStatus::VersionShift);
  EXPECT_EQ(context.resume_address, Address{all.back() + 8});
  EXPECT_EQ(scanner.match_count(), 0u);
}

TEST(ScanTest, RecordReaderNeverReadsAReusedSlot) {
  ScanFixture fixture{6};
  std::vector<std::pair<Address, std::string>> records;
  std::string pad(12000, 'q');
  for (int i = 0; i < 25000; ++i) {
    std::string json = "{\"i\":" + std::to_string(i) + ",\"pad\":\"" + pad + "\"}";
    records.emplace_back(fixture.Insert(json, {}), json);
  }
  fixture.WaitUntilOnDisk(records[records.size() / 2].first);
  core::RecordReader reader{*fixture.log, fixture.session};
  core::PaddedBuffer payload;
  // The oldest records' slots now hold newer pages: they must come from the file.
  for (size_t i = 0; i < records.size(); i += 97) {
    ASSERT_EQ(reader.ReadPayload(records[i].first, payload), Status::Ok) << i;
    ASSERT_EQ(std::string(payload.data(), payload.size()), records[i].second) << i;
    EXPECT_EQ(std::memcmp(payload.data() + payload.size(), std::string(64, '\0').data(), 64), 0)
        << "padding after the payload";
  }
  EXPECT_EQ(reader.ReadPayload(Address{8}, payload), Status::NotFound) << "before the log begins";
  EXPECT_EQ(reader.ReadPayload(fixture.log->GetTailAddress(), payload), Status::NotFound);
  EXPECT_EQ(reader.ReadPayload(records[5].first + 4, payload), Status::NotFound) << "unaligned";
}

TEST(ScanTest, FullScanRacingInserts) {
  // A writer appends records while scans run; each scan sees every record completed
  // before it started, never a record that does not match, and no torn record.
  ScanFixture fixture{6};
  std::atomic<uint64_t> completed{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> writer_done{false};
  std::vector<Address> addresses(400000);
  std::thread writer{[&] {
    fixture.epoch.Protect();
    for (uint64_t i = 0; i < addresses.size() && !stop.load(); ++i) {
      // Records of up to 3 KB: the log wraps and pages move below the head while scans run.
      std::string json = "{\"i\":" + std::to_string(i) + ",\"even\":" + (i % 2 == 0 ? "true" : "false") +
                         ",\"pad\":\"" + std::string(i % 3000, 'r') + "\"}";
      addresses[i] = fixture.Insert(json, {});
      completed.store(i + 1, std::memory_order_release);
      if (i % 64 == 0) fixture.epoch.Protect();
    }
    fixture.epoch.Unprotect();
    writer_done.store(true);
  }};
  // Scans run for 3 s and until pages have moved below the head, within 120 s: builds
  // under a sanitizer take far longer to wrap the log.
  const auto started = std::chrono::steady_clock::now();
  int scans = 0;
  auto enough = [&] {
    auto ran = std::chrono::steady_clock::now() - started;
    return ran >= std::chrono::seconds(120) ||
           (ran >= std::chrono::seconds(3) && scans > 1 && fixture.log->GetHeadAddress().page() > 0);
  };
  while (!enough() && completed.load() < addresses.size()) {
    uint64_t before = completed.load(std::memory_order_acquire);
    Address begin_of_memory = fixture.log->GetHeadAddress();
    Comparator comparator{{true}};
    core::BasicFullScanner scanner{"/even", Comparator::Bind(ScanOperation::EQ, comparator)};
    // One thread and two, in turn.
    ASSERT_EQ(core::RunFullScan(*fixture.log, fixture.session, scanner, Address{0}, Address::Max(), 1 + scans % 2),
              Status::Ok);
    std::vector<uint64_t> found = ScanFixture::Sorted(scanner.results());
    uint64_t after = completed.load(std::memory_order_acquire);
    std::vector<uint64_t> expected;
    for (uint64_t i = 0; i < before; i += 2) expected.push_back(addresses[i].control());
    // Every even record finished before the scan is found...
    ASSERT_TRUE(std::includes(found.begin(), found.end(), expected.begin(), expected.end()))
        << "scan " << scans << " missed a record (head was " << begin_of_memory.control() << ")";
    // ...and everything found is an even record finished by the end of the scan.
    std::vector<uint64_t> possible;
    for (uint64_t i = 0; i < after; i += 2) possible.push_back(addresses[i].control());
    ASSERT_TRUE(std::includes(possible.begin(), possible.end(), found.begin(), found.end()))
        << "scan " << scans << " reported something that is not an even record";
    ++scans;
  }
  stop.store(true);
  // A writer turning a page waits for this thread's epoch and for page writes.
  while (!writer_done.load()) {
    fixture.disk->TryComplete();
    fixture.epoch.Protect();
  }
  writer.join();
  EXPECT_GT(scans, 1);
  EXPECT_GT(fixture.log->GetHeadAddress().page(), 0u) << "pages should have moved below the head";
}

// Full scans with one and two threads, over a log in memory and then mostly on disk,
// give the model's answer: the same addresses and a listing of the same payloads in
// address order.
TEST(ScanTest, FullScanOnOneAndTwoThreadsInMemoryAndOnDisk) {
  ScanFixture fixture{6};
  // 500 records of 120 KB span two pages: enough for the second thread to take part.
  std::vector<Model> models;
  models.emplace_back(fixture, 500, 0, 120000, 11);
  std::map<uint64_t, const std::string*> payloads;
  auto check = [&](const char* where) {
    for (auto& model : models) {
      for (const ModelRecord& record : model.records) payloads[record.address.control()] = &record.json;
    }
    for (size_t number = 0; number < Queries().size(); ++number) {
      const Query& query = Queries()[number];
      {
        ScanOperation op = number % 2 == 0 ? ScanOperation::EQ : ScanOperation::LT;
        std::vector<uint64_t> expected;
        for (const Model& model : models) {
          for (uint64_t address : model.Expected(query.field, op, query.operands, Address{0}, Address::Max())) {
            expected.push_back(address);
          }
        }
        std::string listing;
        for (uint64_t address : expected) listing += *payloads.at(address) + "\n";
        // A listing budget of exactly the listing's size keeps it whole; one byte less
        // keeps none of it and says so, on either thread count.
        const int64_t whole = static_cast<int64_t>(listing.size());
        for (int64_t budget : {core::BasicFullScanner::kKeptListingBytes, whole, whole - 1}) {
          for (unsigned threads : {1u, 2u}) {
            Comparator comparator{Operands(query.operands)};
            core::BasicFullScanner scanner{query.field, Comparator::Bind(op, comparator)};
            scanner.KeepListing(budget);
            ASSERT_EQ(core::RunFullScan(*fixture.log, fixture.session, scanner, Address{0}, Address::Max(), threads),
                      Status::Ok);
            // Already in address order, however the pages were shared out.
            ASSERT_EQ(scanner.matches().addresses(), expected) << where << " " << query.field << " op " << int(op) << " threads " << threads;
            const bool overflowed = budget < whole;
            ASSERT_EQ(scanner.listing_overflowed(), overflowed) << where << " budget " << budget;
            ASSERT_TRUE(scanner.listing() == (overflowed ? std::string{} : listing))
                << where << " " << query.field << " threads " << threads << " budget " << budget;
          }
        }
      }
    }
  };
  check("in memory");
  models.emplace_back(fixture, 1500, 0, 120000, 12);
  fixture.WaitUntilOnDisk(models[1].records[700].address);
  check("mostly on disk");
}

// A page read that fails ends the scan with IOError, on one thread or two, wherever
// the read falls among the scan's reads; once the disk works again the scan is whole.
TEST(ScanTest, FullScanEndsWithIoErrorWhenAReadFails) {
  auto owned = std::make_unique<device::MemoryDisk>();
  device::MemoryDisk* memory = owned.get();
  ScanFixture fixture{6, "/dev/shm", std::move(owned)};
  std::vector<uint64_t> all;
  std::string pad(120000, 'f');
  for (int i = 0; i < 2000; ++i) all.push_back(fixture.Insert("{\"f\":1,\"p\":\"" + pad + "\"}", {}).control());
  fixture.WaitUntilOnDisk(Address{all[1200]});
  for (uint64_t skip : {0, 1, 3}) {
    for (unsigned threads : {1u, 2u}) {
      memory->Inject({environment::IoOperation::kRead, "", device::MemoryDisk::kAnyOffset, skip, 1});
      Comparator comparator{{int64_t{1}}};
      core::BasicFullScanner scanner{"/f", Comparator::Bind(ScanOperation::EQ, comparator)};
      EXPECT_EQ(core::RunFullScan(*fixture.log, fixture.session, scanner, Address{0}, Address::Max(), threads),
                Status::IOError)
          << "read " << skip << " failed, threads " << threads;
      EXPECT_LT(scanner.match_count(), all.size());
      memory->Heal();
    }
  }
  EXPECT_EQ(fixture.FullScan("/f", ScanOperation::EQ, {int64_t{1}}), all);
}

// Chain scans and batched record reads agree with what was written: in memory, below the
// head with the read cache cold and warm, and while a writer pushes pages below the head
// during the queries. A warm repeat of a chain scan issues no device read; a failed read
// ends a query with IOError.
TEST(ScanTest, ReadsBelowTheHeadColdWarmRacingAndFailing) {
  auto* memory_disk = new device::MemoryDisk;
  ScanFixture fixture{6, std::unique_ptr<device::Disk>{memory_disk}};
  constexpr uint16_t kId = 5;
  std::vector<std::string> json_at;  // by insertion
  std::vector<std::vector<uint64_t>> by_key(3);
  std::map<uint64_t, std::string> payloads;
  std::mt19937 random{5};
  // Key 0 is sparse (long hops), keys 1 and 2 dense; some records span several 4 KiB
  // blocks, most straddle a block boundary now and then.
  auto write = [&](int i, bool record_it) {
    int key = random() % 50 == 0 ? 0 : 1 + static_cast<int>(random() % 2);
    size_t pad = random() % 10 == 0 ? 4000 + random() % 9000 : random() % 700;
    std::string json = "{\"i\":" + std::to_string(i) + ",\"pad\":\"" + std::string(pad, 'x') + "\"}";
    Address address = fixture.Insert(json, {{kId, GenericValue::OfInt64(key)}});
    if (record_it) {
      by_key[key].push_back(address.control());
      payloads[address.control()] = json;
    }
  };
  for (int i = 0; i < 150000; ++i) write(i, true);
  for (auto& addresses : by_key) std::sort(addresses.begin(), addresses.end());

  auto check = [&](const char* when) {
    for (int key = 0; key < 3; ++key) {
      ASSERT_EQ(fixture.ChainScan(kId, int64_t{key}), by_key[key]) << when << ", key " << key;
      core::BatchRecordReader reader{*fixture.log, fixture.session};
      const std::vector<uint64_t>& addresses = by_key[key];
      for (size_t from = 0; from < addresses.size(); from += 1000) {
        size_t count = std::min<size_t>(1000, addresses.size() - from);
        reader.Announce(std::span<const uint64_t>{addresses.data() + from, count});
        for (size_t i = from; i < from + count; ++i) {
          std::string_view payload;
          ASSERT_EQ(reader.ReadPayload(Address{addresses[i]}, &payload), Status::Ok) << when;
          ASSERT_EQ(payload, payloads[addresses[i]]) << when << ", address " << addresses[i];
        }
      }
    }
  };
  check("in memory");
  fixture.WaitUntilOnDisk(Address{by_key[1][by_key[1].size() / 2]});
  fixture.log->read_cache().Clear();
  uint64_t reads_before = fixture.log->device_reads();
  check("cold");
  EXPECT_GT(fixture.log->device_reads(), reads_before);
  // The dense keys' records have pushed the sparse key's out of the cache: one scan
  // brings them back, the next reads nothing.
  ASSERT_EQ(fixture.ChainScan(kId, int64_t{0}), by_key[0]);
  reads_before = fixture.log->device_reads();
  ASSERT_EQ(fixture.ChainScan(kId, int64_t{0}), by_key[0]);
  EXPECT_EQ(fixture.log->device_reads(), reads_before) << "a warm chain scan went to the device";

  {
    std::atomic<bool> stop{false};
    std::thread writer{[&] {
      fixture.epoch.Protect();
      // Only dense keys: the sparse key's answer stays what it was.
      for (int i = 0; i < 200000 && !stop.load(); ++i) {
        std::string json = "{\"late\":" + std::to_string(i) + ",\"pad\":\"" + std::string(i % 900, 'y') + "\"}";
        fixture.Insert(json, {{kId, GenericValue::OfInt64(1 + i % 2)}});
        if (i % 64 == 0) fixture.epoch.Protect();
      }
      fixture.epoch.Unprotect();
    }};
    Address head = fixture.log->GetHeadAddress();
    for (int round = 0; round < 20 && fixture.log->GetHeadAddress() == head; ++round) {
      fixture.log->read_cache().Clear();
      ASSERT_EQ(fixture.ChainScan(kId, int64_t{0}), by_key[0]) << "racing a writer, round " << round;
      core::BatchRecordReader reader{*fixture.log, fixture.session};
      reader.Announce(by_key[0]);
      for (uint64_t address : by_key[0]) {
        std::string_view payload;
        ASSERT_EQ(reader.ReadPayload(Address{address}, &payload), Status::Ok);
        ASSERT_EQ(payload, payloads[address]) << "racing a writer, round " << round;
      }
    }
    stop.store(true);
    writer.join();
    fixture.epoch.Protect();
  }

  fixture.log->read_cache().Clear();
  memory_disk->Inject({.operation = environment::IoOperation::kRead});
  Comparator comparator{{int64_t{0}}};
  core::BasicScanner scanner{kId, KeyHash::OfGeneralKey(kId, GenericValue::OfInt64(0).bytes().data(), 8),
                             Comparator::Bind(ScanOperation::EQ, comparator)};
  EXPECT_EQ(core::RunChainScan(*fixture.log, fixture.index, fixture.session, scanner, Address{0}, Address::Max()),
            Status::IOError);
  core::BatchRecordReader reader{*fixture.log, fixture.session};
  reader.Announce(by_key[0]);
  std::string_view payload;
  EXPECT_EQ(reader.ReadPayload(Address{by_key[0].front()}, &payload), Status::IOError);
  memory_disk->Heal();

  // The sparse key needs more reads than the log lets out at once, so most wait their
  // turn. A failed read, early or among those that waited, fails only the records it
  // holds; a reader dropped with reads still waiting neither hangs nor reads them.
  for (uint64_t skip : {uint64_t{0}, uint64_t{200}, uint64_t{900}}) {
    fixture.log->read_cache().Clear();
    memory_disk->Inject({.operation = environment::IoOperation::kRead, .skip = skip, .count = 1});
    core::BatchRecordReader faulty{*fixture.log, fixture.session};
    faulty.Announce(by_key[0]);
    size_t failed = 0;
    for (uint64_t address : by_key[0]) {
      Status status = faulty.ReadPayload(Address{address}, &payload);
      if (status == Status::IOError) {
        ++failed;
      } else {
        ASSERT_EQ(status, Status::Ok) << "failed read " << skip;
        ASSERT_EQ(payload, payloads[address]) << "failed read " << skip;
      }
    }
    EXPECT_GE(failed, 1u) << "failed read " << skip;
    EXPECT_LT(failed, by_key[0].size() / 10) << "failed read " << skip;
    memory_disk->Heal();
  }
  fixture.log->read_cache().Clear();
  core::BatchRecordReader dropped{*fixture.log, fixture.session};
  dropped.Announce(by_key[0]);
  ASSERT_EQ(dropped.ReadPayload(Address{by_key[0].front()}, &payload), Status::Ok);
}

// A record read from the read cache is the log's bytes wherever it sits against the 4 KiB
// blocks (inside one, straddling two, spanning several); a record with a block missing is
// a miss, never a partial payload; empty space is NotFound. After Clear (what recovery
// does) the same addresses come back with other bytes, and only those are read.
TEST(ScanTest, CachedRecordsAreTheLogBytesAcrossBlocks) {
  constexpr uint64_t kBlock = core::ReadCache::kBlockBytes;
  constexpr uint64_t kBlocks = 64;
  core::ReadCache cache{uint64_t{1} << 20};
  std::mt19937 random{17};
  for (int generation = 0; generation < 3; ++generation) {
    std::vector<uint8_t> image(kBlocks * kBlock, 0);
    std::map<uint64_t, std::string> payloads;
    std::map<uint64_t, uint64_t> payload_ends;
    for (uint64_t at = 8 * (random() % 8);;) {
      uint32_t size = random() % 8 == 0 ? 4000 + random() % 9000 : random() % 700;
      RecordHeader header{static_cast<uint32_t>(random() % 3), size, 0, 0, false};
      if (at + header.record_size() > image.size()) break;
      std::string payload(size, ' ');
      for (char& c : payload) c = static_cast<char>('a' + random() % 26);
      uint64_t word = header.control();
      std::memcpy(&image[at], &word, sizeof(word));
      std::memcpy(&image[at + header.payload_offset()], payload.data(), size);
      payloads[at] = payload;
      payload_ends[at] = at + header.payload_offset() + size;
      at += header.record_size() + 8 * (random() % 3);  // zero words between some records
    }
    cache.Clear();
    const uint64_t missing = 1 + random() % (kBlocks - 2);
    for (uint64_t block = 0; block < kBlocks; ++block) {
      if (block != missing) cache.Insert(block * kBlock, &image[block * kBlock], kBlock);
    }
    core::PaddedBuffer out;
    auto room = [&](uint32_t size) { return out.Resize(size); };
    for (const auto& [address, payload] : payloads) {
      bool needs_missing = address / kBlock <= missing && missing <= (payload_ends[address] - 1) / kBlock;
      Status status = Status::Aborted;
      ASSERT_EQ(core::ReadPayloadFromCache(cache, Address{address}, room, &status), !needs_missing)
          << "generation " << generation << ", address " << address;
      if (!needs_missing) {
        ASSERT_EQ(status, Status::Ok);
        ASSERT_EQ(out.view().text(), payload) << "generation " << generation << ", address " << address;
      }
      uint64_t after = (payload_ends[address] + 7) & ~uint64_t{7};
      if (payloads.count(after) == 0 && after < image.size() && after / kBlock != missing) {
        ASSERT_TRUE(core::ReadPayloadFromCache(cache, Address{after}, room, &status));
        EXPECT_EQ(status, Status::NotFound) << "empty space at " << after;
      }
    }
  }
}

}  // namespace

// A field that opens its record is read from its value alone. Written with a space after
// the brace, the same record takes the whole parse: both must give the same answer and
// the same value error, for every kind of value and every operation.
TEST(ScanTest, LeadingFieldShortcutAgreesWithTheWholeParse) {
  const std::string long_text(300, 'q');
  const std::vector<std::string> records = {
      R"({"id":42,"x":1})",          R"({"id":-1.5e3})",       R"({"id":42.0,"id":7})",
      R"({"id":"a\"b,}","x":2})",    R"({"id":"42"})",         R"({"id":true})",
      R"({"id":null})",              R"({"id":{"a":42}})",     R"({"id":[42]})",
      R"({"id":12 ,"y":3})",         R"({"idx":42,"id":42})",  R"({"id":1e400})",
      R"({"id":18446744073709551616})", "{\"id\":\"" + long_text + "\"}",
      R"({"id":"2021-03-04"})",      R"({"i\u0064":42})",
  };
  const std::vector<std::vector<Operand>> operand_sets = {
      {int64_t{42}}, {42.0}, {std::string{"a\"b,}"}}, {std::string{"42"}}, {true}, {long_text}, {int64_t{0}}};
  const ScanOperation operations[] = {ScanOperation::EQ, ScanOperation::NE, ScanOperation::LT, ScanOperation::GE};
  for (const std::string& record : records) {
    const std::string spaced = "{ " + record.substr(1);
    for (const auto& operands : operand_sets) {
      for (ScanOperation op : operations) {
        Comparator comparator{operands};
        core::BasicFullScanner fast{"/id", Comparator::Bind(op, comparator)};
        core::BasicFullScanner whole{"/id", Comparator::Bind(op, comparator)};
        core::PaddedBuffer fast_text, whole_text;
        fast_text.Assign(record.data(), record.size());
        whole_text.Assign(spaced.data(), spaced.size());
        EXPECT_EQ(fast.Check(fast_text.data(), record.size(), fast_text.capacity()),
                  whole.Check(whole_text.data(), spaced.size(), whole_text.capacity()))
            << record << " op " << int(op);
        EXPECT_EQ(fast.value_error(), whole.value_error()) << record << " op " << int(op);
      }
    }
  }
}
