#include "engine/psf_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store_inspection.h"
#include "temp_directory.h"

namespace psfstore {
namespace {

using core::Address;
using core::BatchRefused;
using core::KeyHash;
using core::KeyPointer;
using core::PaddedBuffer;
using core::Phase;
using core::PsfChange;
using core::PsfStore;
using test_support::RecordsInMemory;
using test_support::RecordView;
using test_support::TempDirectory;
using test_support::WalkChain;

constexpr uint64_t kLogSize = 6 * Address::kPageSize;

class PsfStoreTest : public ::testing::Test {
 protected:
  PsfStoreTest() : directory{"/dev/shm"}, store{std::make_unique<PsfStore>(4096, kLogSize, directory.path() + "/store")} {}
  ~PsfStoreTest() override {
    if (store->HasSession()) store->StopSession();
  }

  // Registers a projection of each field and makes them active.
  std::vector<uint16_t> Project(std::initializer_list<const char*> fields) {
    std::vector<uint16_t> ids;
    std::vector<PsfChange> changes;
    for (const char* field : fields) {
      ids.push_back(store->RegisterProjection(field));
      changes.push_back(PsfChange::AddGeneral(ids.back()));
    }
    EXPECT_NE(store->ApplyPsfChange(changes), Address::Invalid());
    store->CompleteAction();
    return ids;
  }

  uint32_t Insert(std::string_view text, uint64_t serial = 1) {
    buffer.Assign(text);
    return store->BatchInsert(buffer, serial);
  }

  TempDirectory directory;
  std::unique_ptr<PsfStore> store;
  PaddedBuffer buffer;
};

TEST(PsfStoreConstruction, BadSizesAreRefusedAndLeaveNothingOnDisk) {
  TempDirectory directory{"/dev/shm"};
  std::string root = directory.path() + "/store";
  auto expect_invalid = [&](uint64_t table, uint64_t log, const char* message) {
    try {
      PsfStore store{table, log, root};
      ADD_FAILURE() << "accepted " << table << " / " << log;
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), message);
    }
    EXPECT_FALSE(std::filesystem::exists(root));
  };
  expect_invalid(4096, kLogSize + 1, "Log size must be a multiple of 32 MB");
  expect_invalid(4096, 5 * Address::kPageSize, "Must have at least 2 non-head pages");
  expect_invalid(1000, kLogSize, " Size is not a power of 2");

  PsfStore store{4096, kLogSize, root};
  EXPECT_TRUE(std::filesystem::is_directory(root));
  EXPECT_EQ(store.tail_address(), Address{Address::kFirstValidAddress});
  EXPECT_EQ(store.begin_address(), Address{Address::kFirstValidAddress});
  EXPECT_TRUE(store.system_state().IsRest());
}

// A session can only start at REST; one refused during an action starts after it.
TEST_F(PsfStoreTest, SessionsStartOnlyAtRest) {
  core::Guid first = store->StartSession();
  EXPECT_FALSE(first.IsNull());
  EXPECT_EQ(store->current_context().guid, first);
  EXPECT_EQ(store->current_context().phase, Phase::REST);
  ASSERT_TRUE(store->state_machine().StartAction(core::Action::CheckpointIndex));

  core::Status refused;
  std::thread other{[&] {
    refused = store->TryStartSession();
    EXPECT_FALSE(store->HasSession());
  }};
  other.join();
  EXPECT_TRUE(refused.IsBusy()) << refused;

  store->CompleteAction();
  EXPECT_TRUE(store->system_state().IsRest());
  std::thread later{[&] {
    core::Guid second = store->StartSession();
    EXPECT_NE(second, first);
    store->StopSession();
  }};
  later.join();
  store->StopSession();
  EXPECT_FALSE(store->epoch().IsProtected());
}

// Without projections: one record per document, no key pointers, offsets advance.
TEST_F(PsfStoreTest, DocumentsBecomeRecordsInOrder) {
  store->StartSession();
  EXPECT_EQ(Insert(""), 0u);
  EXPECT_EQ(store->tail_address(), Address{Address::kFirstValidAddress});

  std::string docs[] = {R"({"a":1})", R"([1,2,{"b":null}])", R"("text")"};
  EXPECT_EQ(Insert(docs[0] + "\n" + docs[1] + " \t\r\n" + docs[2] + "\n", 7), 3u);
  EXPECT_EQ(store->current_context().serial_number, 7u);
  EXPECT_EQ(store->current_context().offset, docs[0].size() + docs[1].size() + docs[2].size());

  std::vector<RecordView> records = RecordsInMemory(*store);
  ASSERT_EQ(records.size(), 3u);
  Address expected = Address{Address::kFirstValidAddress};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].address, expected);
    EXPECT_EQ(records[i].payload, docs[i]);
    EXPECT_EQ(records[i].header.key_pointer_count(), 0u);
    EXPECT_FALSE(records[i].header.invalid());
    EXPECT_EQ(records[i].header.record_size() % 8, 0u);
    expected = expected + records[i].header.record_size();
  }
  EXPECT_EQ(store->tail_address(), expected);

  // A one-byte document.
  EXPECT_EQ(Insert("7", 8), 1u);
  EXPECT_EQ(RecordsInMemory(*store).back().payload, "7");
  EXPECT_EQ(store->current_context().offset, 1u);
}

// Header, key pointer words and value offsets, byte for byte.
TEST_F(PsfStoreTest, RecordLayoutWithProjectedValues) {
  store->StartSession();
  std::vector<uint16_t> ids = Project({"/name", "/n", "/flag", "/x"});
  ASSERT_EQ(ids, (std::vector<uint16_t>{0, 1, 2, 3}));

  std::string doc = R"({"n":-5,"name":"ab\"c","flag":true,"x":2.5})";
  EXPECT_EQ(Insert(doc), 1u);
  std::vector<RecordView> records = RecordsInMemory(*store);
  ASSERT_EQ(records.size(), 1u);
  const RecordView& record = records[0];
  const uint32_t version = store->system_version();

  // Four general key pointers; 8 (int) + 1 (bool) + 8 (double) optional bytes.
  uint64_t header = 4 | (uint64_t{doc.size()} << 15) | (uint64_t{17} << 40) | (uint64_t{version & 0x1FFF} << 48) |
                    (uint64_t{1} << 63);
  EXPECT_EQ(record.header.control(), header);
  EXPECT_EQ(record.header.record_size(), (8 + 160 + doc.size() + 17 + 7) & ~uint64_t{7});

  struct Expected {
    uint32_t id;
    uint64_t offset;
    uint64_t size;
  };
  // Sets iterate in id order: name (string, in the payload), n, flag, x (optional area).
  Expected expected[] = {{0, doc.find("ab\\\"c"), 5}, {1, doc.size(), 8}, {2, doc.size() + 8, 1}, {3, doc.size() + 9, 8}};
  for (uint32_t i = 0; i < 4; ++i) {
    const KeyPointer& pointer = record.key_pointers[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(pointer.kind(), KeyPointer::Kind::General);
    EXPECT_EQ(pointer.position(), i);
    EXPECT_EQ(pointer.previous_address(), Address::Invalid());
    EXPECT_EQ(pointer.word0(), (uint64_t{1} << 16) | (uint64_t{i} << 1));
    EXPECT_EQ(pointer.general_predicate_id(), expected[i].id);
    EXPECT_EQ(pointer.value_offset(), expected[i].offset);
    EXPECT_EQ(pointer.value_size(), expected[i].size);
    // Each key pointer heads its own chain.
    KeyHash hash = test_support::HashOf(record, pointer);
    EXPECT_EQ(WalkChain(*store, hash), std::vector<Address>{KeyPointer::KeyPointerAddress(record.address, i)});
  }
  EXPECT_EQ(test_support::GeneralValueBytes(record, record.key_pointers[0]), "ab\\\"c");
  // Stored words carry no process address: the string's view pointer is zero.
  EXPECT_EQ(record.key_pointers[0].value_words()[1], 0u);
  int64_t n;
  std::memcpy(&n, record.optional.data(), 8);
  EXPECT_EQ(n, -5);
  EXPECT_EQ(record.optional[8], 1);
  double x;
  std::memcpy(&x, record.optional.data() + 9, 8);
  EXPECT_EQ(x, 2.5);
  // Words 2-4 hold the value image: type code and length survive the copy.
  auto value = recorder::data::GenericValue::FromKeyPointerWords(record.key_pointers[1].value_words(), nullptr);
  EXPECT_EQ(value.Int64(), -5);

  // A record missing a projected field gets no key pointer for it; a second record with
  // the same value links behind the first.
  std::string second = R"({"name":"ab\"c"})";
  EXPECT_EQ(Insert(second), 1u);
  RecordView newer = RecordsInMemory(*store).back();
  ASSERT_EQ(newer.header.key_pointer_count(), 1u);
  EXPECT_EQ(newer.header.optional_size(), 0u);
  EXPECT_EQ(newer.key_pointers[0].previous_address(), KeyPointer::KeyPointerAddress(record.address, 0));
  EXPECT_EQ(WalkChain(*store, test_support::HashOf(newer, newer.key_pointers[0])).size(), 2u);
}

// Refused batches insert nothing and leave the session's progress as it was.
TEST_F(PsfStoreTest, RefusedBatchesLeaveNoTrace) {
  store->StartSession();
  Project({"/v"});
  ASSERT_EQ(Insert(R"({"v":1})", 5), 1u);
  const Address tail = store->tail_address();
  const uint32_t offset = store->current_context().offset;

  struct Case {
    std::string text;
    size_t offset;
  };
  Case cases[] = {
      {R"({"v":2} {"v":)", 8},          // truncated last document
      {R"({"v":2} {"v":3}})", 15},      // trailing garbage
      {R"({"v":2} {"v" 3} {"v":4})", 13},  // malformed document in the middle
      // Valid JSON, but the projected number fits no value type: bad data, not a fault.
      {R"({"v":2} {"v":1e400})", 8},
      {R"({"v":2} {"w":1} {"v":-1)" + std::string(400, '0') + "}", 16},
  };
  for (const Case& bad : cases) {
    SCOPED_TRACE(bad.text);
    try {
      Insert(bad.text, 6);
      ADD_FAILURE() << "accepted";
    } catch (const BatchRefused& error) {
      EXPECT_EQ(error.offset(), bad.offset);
      EXPECT_NE(std::string{error.what()}.find("byte " + std::to_string(bad.offset)), std::string::npos) << error.what();
    }
  }
  // A projected object is not a scalar: the predicate throws, nothing of the batch goes in.
  try {
    Insert(R"({"v":2} {"v":{"w":1}})", 6);
    ADD_FAILURE() << "accepted";
  } catch (const std::logic_error& error) {
    EXPECT_STREQ(error.what(), "The field does not contain a scalar type");
  }
  EXPECT_EQ(store->tail_address(), tail);
  EXPECT_EQ(store->current_context().serial_number, 5u);
  EXPECT_EQ(store->current_context().offset, offset);
  EXPECT_EQ(RecordsInMemory(*store).size(), 1u);

  // The session goes on normally afterwards.
  EXPECT_EQ(Insert(R"({"v":2} {"v":3})", 6), 2u);
  EXPECT_EQ(store->current_context().serial_number, 6u);
}

// A batch parsed and staged in two halves at once, the second on a helper thread, goes in
// exactly as one thread would put it: the same records byte for byte, the same session
// offset, and for a faulty batch the same refusal at the first fault, wherever the split
// falls (between documents, inside one, before or after the fault).
TEST(PsfStoreHalves, BatchesStagedInHalvesInsertAsOneThreadWould) {
  std::string lines;
  for (int i = 0; i < 400; ++i) {
    lines += "{\"v\":" + std::to_string(i % 37) + ",\"s\":\"" + std::string(i % 23, 'x') + "\",\"w\":" +
             std::to_string(i * 0.5) + "}\n";
  }
  std::string pretty;  // line feeds inside documents: the middle one falls inside a document
  for (int i = 0; i < 400; ++i) pretty += "{\n\"v\": " + std::to_string(i) + ",\n\"s\": \"p\"\n}\n";
  const size_t quarter = lines.find('\n', lines.size() / 4) + 1;
  const size_t three_quarters = lines.find('\n', 3 * lines.size() / 4) + 1;
  auto with_at = [&](size_t at, const std::string& inserted) { return lines.substr(0, at) + inserted + lines.substr(at); };
  const std::vector<std::string> batches = {
      lines,
      pretty,
      with_at(quarter, "{\"v\" 1}\n"),                     // malformed in the first half
      with_at(three_quarters, "{\"v\":}\n"),               // malformed in the second half
      with_at(three_quarters, "{\"v\":1e400}\n"),          // a projected value no type holds
      with_at(three_quarters, "{\"v\":{\"o\":1}}\n"),     // a projected object
      with_at(quarter, "{\"v\":[1]}\n") + "{\"v\":}\n",  // faults in both halves
  };
  TempDirectory directory{"/dev/shm"};
  auto run = [&](PsfStore::HalvesPlacement placement, const std::string& name) {
    PsfStore store{4096, kLogSize, directory.path() + "/" + name};
    store.set_halves_placement(placement);
    store.StartSession();
    std::vector<PsfChange> changes;
    for (const char* field : {"/v", "/s", "/w"}) changes.push_back(PsfChange::AddGeneral(store.RegisterProjection(field)));
    EXPECT_NE(store.ApplyPsfChange(changes), Address::Invalid());
    store.CompleteAction();
    std::string outcome;
    PaddedBuffer buffer;
    for (const std::string& batch : batches) {
      buffer.Assign(batch);
      try {
        outcome += "inserted " + std::to_string(store.BatchInsert(buffer, 1));
      } catch (const std::exception& error) {
        outcome += std::string{"refused: "} + error.what();
      }
      outcome += " at offset " + std::to_string(store.current_context().offset) + "\n";
    }
    for (const RecordView& record : RecordsInMemory(store)) {
      outcome += std::to_string(record.address.control()) + " " + std::to_string(record.header.control()) + " " +
                 std::string{record.payload} + std::string{record.optional};
      for (const KeyPointer& pointer : record.key_pointers) {
        outcome.append(reinterpret_cast<const char*>(&pointer), sizeof pointer);
      }
      outcome += '\n';
    }
    store.StopSession();
    return outcome;
  };
  const std::string alone = run(PsfStore::HalvesPlacement::Never, "alone");
  EXPECT_EQ(run(PsfStore::HalvesPlacement::Helper, "halves"), alone);
  EXPECT_NE(alone.find("refused: The field does not contain a scalar type"), std::string::npos);
}

// 31 numeric projections fill 248 optional bytes; a 32nd would pass 255 and is refused.
TEST_F(PsfStoreTest, OptionalAreaLimit) {
  store->StartSession();
  std::vector<PsfChange> changes;
  std::string doc = "{";
  for (int i = 0; i < 32; ++i) {
    std::string field = "f" + std::to_string(i);
    changes.push_back(PsfChange::AddGeneral(store->RegisterProjection("/" + field)));
    doc += (i ? "," : "") + ("\"" + field + "\":" + std::to_string(i));
  }
  std::string full = doc + "}";
  std::string short_doc = doc.substr(0, doc.rfind(',')) + "}";
  ASSERT_NE(store->ApplyPsfChange(changes), Address::Invalid());
  store->CompleteAction();

  EXPECT_EQ(Insert(short_doc), 1u);
  EXPECT_EQ(RecordsInMemory(*store).back().header.optional_size(), 248u);
  Address tail = store->tail_address();
  try {
    Insert(short_doc + "\n" + full, 2);
    ADD_FAILURE() << "accepted";
  } catch (const BatchRefused& error) {
    EXPECT_EQ(error.offset(), short_doc.size() + 1);
    EXPECT_NE(std::string{error.what()}.find("more than 255"), std::string::npos) << error.what();
  }
  EXPECT_EQ(store->tail_address(), tail);
  EXPECT_EQ(store->current_context().serial_number, 1u);
}

// Changes of the predicate set: callbacks, refusals, removal, and old records untouched.
TEST_F(PsfStoreTest, PredicateSetChanges) {
  store->StartSession();
  EXPECT_THROW(store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(core::PsfRegistry::kNoPsf)}),
               std::invalid_argument);
  EXPECT_TRUE(store->system_state().IsRest());

  ASSERT_EQ(Insert(R"({"k":"a"})"), 1u);
  uint16_t id = store->RegisterProjection("/k");
  Address reported = Address::Invalid();
  Address started = store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(id)},
                                          [&](Address tail) { reported = tail; });
  EXPECT_EQ(started, store->tail_address());
  store->CompleteAction();
  EXPECT_EQ(reported, started);
  EXPECT_TRUE(store->system_state().IsRest());
  ASSERT_EQ(Insert(R"({"k":"a"})"), 1u);

  // A failing callback does not leave the store stuck in the change.
  store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(id)},
                        [](Address) { throw std::runtime_error("callback failed"); });
  store->CompleteAction();
  EXPECT_TRUE(store->system_state().IsRest());

  // Adding and removing in one list leaves the set as it was.
  store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(id), PsfChange::RemoveGeneral(id)});
  store->CompleteAction();
  ASSERT_EQ(Insert(R"({"k":"a"})"), 1u);
  store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::RemoveGeneral(id)});
  store->CompleteAction();
  ASSERT_EQ(Insert(R"({"k":"a"})"), 1u);

  std::vector<RecordView> records = RecordsInMemory(*store);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].header.key_pointer_count(), 0u);
  EXPECT_EQ(records[1].header.key_pointer_count(), 0u + 1);
  EXPECT_EQ(records[2].header.key_pointer_count(), 0u);  // +id then -id: removed
  EXPECT_EQ(records[3].header.key_pointer_count(), 0u);
  // Both configuration slots agree once a change is over.
  EXPECT_EQ(store->registry().configuration(0).general_set, store->registry().configuration(1).general_set);

  // While a session has not adopted a change, the change holds: no session starts, no
  // other action begins, and the session adopts at its next refresh.
  std::atomic<int> step{0};
  std::thread lagging{[&] {
    store->StartSession();
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    store->CompleteAction();
    store->StopSession();
  }};
  while (step.load() != 1) std::this_thread::yield();
  ASSERT_NE(store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(id)}), Address::Invalid());
  EXPECT_EQ(store->system_phase(), Phase::PS_PENDING);
  std::thread refused{[&] { EXPECT_THROW(store->StartSession(), std::runtime_error); }};
  refused.join();
  EXPECT_FALSE(store->state_machine().TryBeginAction(core::Action::ChangePsfSet));
  EXPECT_EQ(store->ApplyPsfChange(std::vector<PsfChange>{PsfChange::RemoveGeneral(id)}), Address::Invalid());
  step = 2;
  store->CompleteAction();
  lagging.join();
  EXPECT_TRUE(store->system_state().IsRest());
  ASSERT_EQ(Insert(R"({"k":"a"})"), 1u);
  EXPECT_EQ(RecordsInMemory(*store).back().header.key_pointer_count(), 1u);
}

// Filling a six-page log several times over: pages are written and closed under the
// inserts, the markers follow the tail, and inserting never stops.
TEST_F(PsfStoreTest, InsertsRunThroughAFullLogRing) {
  store->StartSession();
  Project({"/group"});
  std::string batch;
  const std::string filler(16000, 'x');
  for (int i = 0; i < 64; ++i) {
    batch += R"({"group":)" + std::to_string(i % 4) + R"(,"text":")" + filler + "\"}\n";
  }
  const uint64_t target = 3 * kLogSize;
  uint64_t inserted = 0;
  uint64_t serial = 0;
  Address previous_head = store->head_address();
  while (store->tail_address().control() < target) {
    inserted += Insert(batch, ++serial);
    store->CompleteAction();
    ASSERT_GE(store->head_address(), previous_head);
    previous_head = store->head_address();
  }
  EXPECT_GT(inserted, 0u);
  EXPECT_GT(store->head_address().page(), 6u);
  EXPECT_GE(store->read_only_address(), store->head_address());
  EXPECT_GE(store->flushed_until_address(), store->head_address());
  EXPECT_LE(store->safe_read_only_address(), store->read_only_address());
  EXPECT_TRUE(directory.Exists("store/log.log0"));

  // The chains' in-memory parts are still ordered and complete.
  std::vector<RecordView> records = RecordsInMemory(*store);
  ASSERT_FALSE(records.empty());
  for (int group = 0; group < 4; ++group) {
    int64_t value = group;
    KeyHash hash = KeyHash::OfGeneralKey(0, &value, 8);
    std::vector<Address> chain = WalkChain(*store, hash);
    size_t in_memory = 0;
    for (const RecordView& record : records) {
      ASSERT_EQ(record.header.optional_size(), 8u);
      in_memory += std::memcmp(record.optional.data(), &value, 8) == 0;
    }
    EXPECT_EQ(chain.size(), in_memory) << group;
  }
}

}  // namespace
}  // namespace psfstore
