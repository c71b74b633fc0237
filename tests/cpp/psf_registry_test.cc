#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/append_only_vector.h"
#include "engine/core/psf_registry.h"

using namespace psfstore::core;

namespace {

std::vector<uint16_t> Ids(std::initializer_list<uint16_t> ids) { return ids; }

}  // namespace

TEST(PsfRegistryTest, ProjectionsShareFieldIdsButGetNewPsfIds) {
  PsfRegistry registry;
  EXPECT_EQ(registry.RegisterProjection("/a"), 0);
  EXPECT_EQ(registry.RegisterProjection("/b"), 1);
  EXPECT_EQ(registry.RegisterProjection("/a"), 2);
  EXPECT_EQ(registry.field_count(), 2u);
  EXPECT_EQ(registry.general_psf(0).fields, Ids({0}));
  EXPECT_EQ(registry.general_psf(1).fields, Ids({1}));
  EXPECT_EQ(registry.general_psf(2).fields, Ids({0}));
  EXPECT_TRUE(registry.general_psf(2).is_projection());
  EXPECT_EQ(registry.general_psf(2).function_name, "proj");
  EXPECT_EQ(registry.FindField("/b"), uint16_t{1});
  EXPECT_EQ(registry.FindField("/c"), std::nullopt);
  // Nothing is active until a change says so.
  EXPECT_TRUE(registry.active_configuration().general_set.empty());
  EXPECT_TRUE(registry.active_configuration().parse_fields.empty());
}

TEST(PsfRegistryTest, FullTableRefusesAndAddsNothing) {
  PsfRegistry registry;
  for (uint32_t i = 0; i < PsfRegistry::kMaxGeneralPsfs; ++i) {
    ASSERT_EQ(registry.RegisterProjection("/f" + std::to_string(i % 100)), i);
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(registry.RegisterProjection("/new"), PsfRegistry::kNoPsf);
  EXPECT_EQ(registry.RegisterProjection("/f1"), PsfRegistry::kNoPsf);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Maximum # general PSF exceeded...\nMaximum # general PSF exceeded...\n");
  EXPECT_EQ(registry.general_psf_count(), PsfRegistry::kMaxGeneralPsfs);
  EXPECT_EQ(registry.field_count(), 100u) << "a refused registration must not leave its field behind";
  // The refusal value can never be put into a change list.
  EXPECT_THROW(registry.ActivateChange(std::vector{PsfChange::AddGeneral(PsfRegistry::kNoPsf)}),
               std::invalid_argument);
  // The highest id still fits the 14-bit key pointer field and can be activated.
  registry.ActivateChange(std::vector{PsfChange::AddGeneral(PsfRegistry::kMaxGeneralPsfs - 1)});
  EXPECT_EQ(registry.active_configuration().general_set, Ids({PsfRegistry::kMaxGeneralPsfs - 1}));
}

TEST(PsfRegistryTest, ChangesBuildSetsAndParseFieldsInBothSlots) {
  PsfRegistry registry;
  for (const char* name : {"/a", "/b", "/c", "/a", "/d", "/e"}) registry.RegisterProjection(name);
  // ids 0:/a 1:/b 2:/c 3:/a 4:/d 5:/e; field ids /a 0, /b 1, /c 2, /d 3, /e 4.

  EXPECT_EQ(registry.ActivateChange(std::vector{PsfChange::AddGeneral(3), PsfChange::AddGeneral(1),
                                                PsfChange::AddGeneral(0)}), 1);
  const PsfConfiguration& active = registry.active_configuration();
  EXPECT_EQ(active.general_set, Ids({0, 1, 3}));
  EXPECT_EQ(active.parse_fields, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(active.parse_field_ids, Ids({0, 1}));
  // Until the change finishes the old slot is what threads that have not refreshed use.
  EXPECT_TRUE(registry.configuration(0).general_set.empty());
  registry.FinishChange(std::vector{PsfChange::AddGeneral(3), PsfChange::AddGeneral(1), PsfChange::AddGeneral(0)});
  EXPECT_EQ(registry.configuration(0).general_set, active.general_set);
  EXPECT_EQ(registry.configuration(0).parse_fields, active.parse_fields);

  // Adding and removing the same id in one list leaves the set as it was; adding a
  // present id or removing an absent one changes nothing.
  std::vector<PsfChange> same = {PsfChange::AddGeneral(5), PsfChange::RemoveGeneral(5), PsfChange::AddGeneral(0),
                                 PsfChange::RemoveGeneral(4)};
  EXPECT_EQ(registry.ActivateChange(same), 0);
  registry.FinishChange(same);
  EXPECT_EQ(registry.active_configuration().general_set, Ids({0, 1, 3}));
  EXPECT_EQ(registry.configuration(1).general_set, Ids({0, 1, 3}));

  // Removal drops fields that no remaining predicate reads, but keeps shared ones.
  std::vector<PsfChange> removal = {PsfChange::RemoveGeneral(0), PsfChange::RemoveGeneral(1), PsfChange::AddGeneral(2)};
  registry.ActivateChange(removal);
  registry.FinishChange(removal);
  for (uint8_t slot : {0, 1}) {
    EXPECT_EQ(registry.configuration(slot).general_set, Ids({2, 3}));
    EXPECT_EQ(registry.configuration(slot).parse_fields, (std::vector<std::string>{"/a", "/c"}));
    EXPECT_EQ(registry.configuration(slot).parse_field_ids, Ids({0, 2}));
  }
}

TEST(PsfRegistryTest, RefusedChangeListChangesNothing) {
  PsfRegistry registry;
  registry.RegisterProjection("/a");
  registry.ActivateChange(std::vector{PsfChange::AddGeneral(0)});
  registry.FinishChange(std::vector{PsfChange::AddGeneral(0)});
  const uint8_t slot = registry.active_slot();
  // The bad step comes after a good one: the good one must not be applied either.
  for (auto bad : {PsfChange::AddGeneral(1), PsfChange{9, 0}, PsfChange::AddInline(0), PsfChange{PsfChange::kRemoveGeneral, 0x10000}}) {
    std::vector<PsfChange> changes = {PsfChange::RemoveGeneral(0), bad};
    EXPECT_THROW(registry.ActivateChange(changes), std::invalid_argument);
    EXPECT_EQ(registry.active_slot(), slot);
    EXPECT_EQ(registry.configuration(0).general_set, Ids({0}));
    EXPECT_EQ(registry.configuration(1).general_set, Ids({0}));
  }
  try {
    registry.CheckChanges(std::vector{PsfChange::AddGeneral(0), PsfChange::AddGeneral(7)});
    FAIL();
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "predicate change 1: no general predicate with id 7");
  }
}

TEST(PsfRegistryTest, InlinePredicatesAddTheirFields) {
  PsfRegistry registry;
  uint16_t x = registry.AddField("/x");
  uint16_t y = registry.AddField("/y");
  EXPECT_EQ(registry.AddField("/x"), x);
  registry.RegisterProjection("/y");
  uint32_t inline_id = registry.AddInlinePsf(InlinePsf{{x, y}, nullptr, 0, "both"});
  EXPECT_THROW(registry.AddInlinePsf(InlinePsf{{9}, nullptr, 0, "unknown"}), std::invalid_argument);
  std::vector<PsfChange> first = {PsfChange::AddInline(inline_id), PsfChange::AddGeneral(0)};
  registry.ActivateChange(first);
  // A second change before the first has finished would build on a stale slot.
  EXPECT_THROW(registry.ActivateChange(std::vector{PsfChange::RemoveInline(inline_id)}), std::logic_error);
  registry.FinishChange(first);
  const PsfConfiguration& active = registry.active_configuration();
  EXPECT_EQ(active.inline_set, std::vector<uint32_t>{inline_id});
  EXPECT_EQ(active.parse_field_ids, Ids({x, y}));
  registry.ActivateChange(std::vector{PsfChange::RemoveInline(inline_id)});
  EXPECT_EQ(registry.active_configuration().parse_fields, (std::vector<std::string>{"/y"}));
}

TEST(PsfRegistryTest, ReadersSeeWholeEntriesWhileProjectionsAreRegistered) {
  PsfRegistry registry;
  constexpr uint32_t kCount = 5000;
  std::atomic<bool> done{false};
  std::atomic<uint64_t> checked{0};
  std::atomic<int> started{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      uint64_t local = 0;
      started.fetch_add(1);
      for (bool last_pass = false; !last_pass;) {
        last_pass = done.load(std::memory_order_acquire);
        size_t count = registry.general_psf_count();
        for (size_t i = count > 64 ? count - 64 : 0; i < count; ++i) {
          const GeneralPsf& psf = registry.general_psf(static_cast<uint16_t>(i));
          ASSERT_EQ(psf.fields.size(), 1u);
          ASSERT_LT(psf.fields[0], registry.field_count());
          ASSERT_EQ(registry.field_name(psf.fields[0]), "/field" + std::to_string(i % 700));
          ASSERT_EQ(psf.function_name, "proj");
          ++local;
        }
      }
      checked += local;
    });
  }
  while (started.load() < 2) std::this_thread::yield();
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(registry.RegisterProjection("/field" + std::to_string(i % 700)), i);
  done.store(true, std::memory_order_release);
  for (auto& reader : readers) reader.join();
  EXPECT_GT(checked.load(), 0u);
}

TEST(AppendOnlyVectorTest, ElementsNeverMoveAcrossSegmentBoundaries) {
  AppendOnlyVector<std::string> vector;
  std::vector<const std::string*> addresses;
  for (int i = 0; i < 3000; ++i) {
    EXPECT_EQ(vector.PushBack(std::to_string(i) + std::string(20, 'x')), static_cast<size_t>(i));
    addresses.push_back(&vector[i]);
  }
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(&vector[i], addresses[i]) << i;
    ASSERT_EQ(vector[i], std::to_string(i) + std::string(20, 'x')) << i;
  }
}

// Evaluation of the active configuration on parsed records.

#include "base/padded_buffer.h"
#include "engine/core/psf_evaluator.h"
#include "json/simdjson_adapter.h"

using psfstore::adapter::FieldRef;
using psfstore::adapter::SIMDJsonAdapter;
using recorder::data::GenericValue;

namespace {

struct Yield {
  uint32_t id;
  GenericValue value;
};

struct Evaluated {
  std::string payload;
  std::vector<Yield> general;
  std::vector<std::pair<uint32_t, uint32_t>> inlines;
};

std::vector<Evaluated> EvaluateBatch(const PsfRegistry& registry, std::string_view text, PaddedBuffer& buffer) {
  const PsfConfiguration& configuration = registry.active_configuration();
  SIMDJsonAdapter parser{configuration.parse_fields};
  buffer.Assign(text);
  EXPECT_EQ(parser.Load(buffer), Status::Ok);
  PsfEvaluator evaluator;
  std::vector<Evaluated> results;
  while (parser.HasNext()) {
    auto record = parser.NextRecord();
    Evaluated result{std::string{record.payload}, {}, {}};
    evaluator.Evaluate(
        registry, configuration, record, [&](uint16_t id, const GenericValue& value) { result.general.push_back({id, value}); },
        [&](uint32_t id, uint32_t value) { result.inlines.emplace_back(id, value); });
    results.push_back(std::move(result));
  }
  return results;
}

void Activate(PsfRegistry& registry, std::vector<PsfChange> changes) {
  registry.ActivateChange(changes);
  registry.FinishChange(changes);
}

GenericValue SumOfInts(psfstore::core::PsfArguments arguments) {
  int64_t sum = 0;
  for (const FieldRef& argument : arguments) {
    if (argument.value.type() != GenericValue::Type::Int64) return GenericValue{};
    sum += argument.value.int64_unchecked();
  }
  return GenericValue::OfInt64(sum);
}

NullableUint32 LengthOfFirst(psfstore::core::PsfArguments arguments) {
  return NullableUint32{0, static_cast<uint32_t>(arguments[0].token.size())};
}

}  // namespace

TEST(PsfEvaluatorTest, ProjectionsYieldTypedValuesOrNothing) {
  PsfRegistry registry;
  uint16_t name = registry.RegisterProjection("/name");
  uint16_t count = registry.RegisterProjection("/count");
  uint16_t name_again = registry.RegisterProjection("/name");
  Activate(registry, {PsfChange::AddGeneral(name), PsfChange::AddGeneral(count), PsfChange::AddGeneral(name_again)});

  PaddedBuffer buffer;
  auto results = EvaluateBatch(registry,
                               "{\"name\":\"ab\\\"c\" ,\"count\":7}\n"
                               "{\"other\":1}\n"
                               "{\"count\":2.5,\"name\":true}\n"
                               "{\"count\":99999999999999999999}\n",
                               buffer);
  ASSERT_EQ(results.size(), 4u);
  // Both predicates over /name yield; the string is the raw text between the quotes,
  // inside the payload.
  ASSERT_EQ(results[0].general.size(), 3u);
  EXPECT_EQ(results[0].general[0].id, name);
  EXPECT_EQ(results[0].general[0].value.String(), "ab\\\"c");
  EXPECT_EQ(results[0].general[0].value.String().data(), buffer.data() + 9);
  EXPECT_EQ(results[0].general[1].value.Int64(), 7);
  EXPECT_EQ(results[0].general[2].id, name_again);
  // A record without the fields yields nothing, not an Empty value.
  EXPECT_TRUE(results[1].general.empty());
  EXPECT_EQ(results[2].general[0].value.Bool(), true);
  EXPECT_EQ(results[2].general[1].value.Double(), 2.5);
  // An integer out of range is Empty: no key pointer.
  EXPECT_TRUE(results[3].general.empty());

  for (const char* not_scalar : {"{\"name\":{}}", "{\"name\":[1]}", "{\"name\":null}"}) {
    try {
      EvaluateBatch(registry, std::string{"{\"name\":\"fine\"}\n"} + not_scalar, buffer);
      ADD_FAILURE() << not_scalar;
    } catch (const std::logic_error& error) {
      EXPECT_STREQ(error.what(), "The field does not contain a scalar type");
    }
  }
}

TEST(PsfEvaluatorTest, NoPredicatesMeansNoFieldsAndNoKeys) {
  PsfRegistry registry;
  registry.RegisterProjection("/a");
  PaddedBuffer buffer;
  auto results = EvaluateBatch(registry, "{\"a\":1}\n{\"a\":2}\n{\"a\":3}\n", buffer);
  ASSERT_EQ(results.size(), 3u);
  for (const auto& result : results) EXPECT_TRUE(result.general.empty() && result.inlines.empty());
  EXPECT_EQ(results[2].payload, "{\"a\":3}");
}

TEST(PsfEvaluatorTest, LibraryPredicatesGetTheirArgumentsInOrder) {
  PsfRegistry registry;
  uint16_t x = registry.AddField("/x");
  uint16_t y = registry.AddField("/y");
  registry.AddLibrary("libexample.so");
  uint16_t sum = registry.AddGeneralPsf(GeneralPsf{{y, x}, &SumOfInts, 0, "sum"});
  uint32_t length = registry.AddInlinePsf(InlinePsf{{y}, &LengthOfFirst, 0, "length"});
  uint16_t unresolved = registry.AddGeneralPsf(GeneralPsf{{x}, nullptr, 0, "missing"});
  Activate(registry, {PsfChange::AddGeneral(sum), PsfChange::AddInline(length)});

  PaddedBuffer buffer;
  auto results = EvaluateBatch(registry, "{\"x\":1,\"y\":40}\n{\"y\":12345}\n{\"x\":\"s\",\"y\":1}", buffer);
  ASSERT_EQ(results.size(), 3u);
  ASSERT_EQ(results[0].general.size(), 1u);
  EXPECT_EQ(results[0].general[0].value.Int64(), 41);
  EXPECT_EQ(results[0].inlines, (std::vector<std::pair<uint32_t, uint32_t>>{{length, 2}}));
  EXPECT_TRUE(results[1].general.empty()) << "one argument missing";
  EXPECT_EQ(results[1].inlines, (std::vector<std::pair<uint32_t, uint32_t>>{{length, 5}}));
  EXPECT_TRUE(results[2].general.empty()) << "the function returned Empty";

  Activate(registry, {PsfChange::AddGeneral(unresolved)});
  EXPECT_THROW(EvaluateBatch(registry, "{\"x\":1}", buffer), std::runtime_error);
}

// Counts heap allocations made by this thread while counting is on.
namespace {
thread_local bool counting_allocations = false;
thread_local uint64_t allocation_count = 0;
}  // namespace

// GCC takes the malloc/free pair below for a new/free mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
  if (counting_allocations) ++allocation_count;
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc{};
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
  if (counting_allocations) ++allocation_count;
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, size_t) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory, size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop

TEST(PsfEvaluatorTest, SteadyStateBatchesDoNotAllocatePerRecord) {
  PsfRegistry registry;
  Activate(registry, {PsfChange::AddGeneral(registry.RegisterProjection("/user/id")),
                      PsfChange::AddGeneral(registry.RegisterProjection("/tags/1"))});
  const PsfConfiguration& configuration = registry.active_configuration();
  SIMDJsonAdapter parser{configuration.parse_fields};
  PsfEvaluator evaluator;
  PaddedBuffer buffer;
  auto allocations_for = [&](int documents) {
    std::string text;
    for (int i = 0; i < documents; ++i) {
      text += "{\"user\":{\"id\":" + std::to_string(i) + ",\"name\":\"n\\u00e9\"},\"tags\":[\"a\",\"b\"],\"v\":1.5}\n";
    }
    uint64_t yielded = 0;
    auto run = [&] {
      buffer.Assign(text);
      EXPECT_EQ(parser.Load(buffer), Status::Ok);
      while (parser.HasNext()) {
        evaluator.Evaluate(registry, configuration, parser.NextRecord(), [&](uint16_t, const GenericValue&) { ++yielded; },
                           [&](uint32_t, uint32_t) {});
      }
    };
    run();  // warms the buffers up to this batch size
    allocation_count = 0;
    counting_allocations = true;
    run();
    counting_allocations = false;
    EXPECT_EQ(yielded, 4u * documents);
    return allocation_count;
  };
  allocations_for(2000);
  uint64_t small = allocations_for(10);
  uint64_t large = allocations_for(2000);
  EXPECT_EQ(small, large) << "allocations grow with the number of records";
  RecordProperty("allocations_per_batch", std::to_string(large));
  EXPECT_LE(large, 4u) << "at most the JSON library's per-batch stream state";
}

// The two-slot protocol as the engine drives it: inserting threads read only the slot
// they adopted and adopt the active one at their next refresh; a change builds the
// inactive slot, flips, waits until every thread has acknowledged, then rebuilds the
// old slot. No thread may ever see its slot change under it.
TEST(PsfRegistryTest, ThreadsKeepTheirSlotWhileChangesComeAndGo) {
  PsfRegistry registry;
  constexpr int kFields = 12;
  for (int f = 0; f < kFields; ++f) registry.RegisterProjection("/f" + std::to_string(f));
  constexpr int kThreads = 2;
  std::atomic<int> acknowledged_slot[kThreads];
  for (auto& slot : acknowledged_slot) slot.store(registry.active_slot());
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> records{0};

  std::string text;
  for (int d = 0; d < 20; ++d) {
    text += "{";
    for (int f = 0; f < kFields; ++f) text += (f ? "," : "") + std::string{"\"f"} + std::to_string(f) + "\":" + std::to_string(d * 100 + f);
    text += "}\n";
  }

  std::vector<std::thread> inserters;
  for (int t = 0; t < kThreads; ++t) {
    inserters.emplace_back([&, t] {
      PaddedBuffer buffer{text};
      PsfEvaluator evaluator;
      uint64_t local = 0;
      while (!stop.load(std::memory_order_acquire)) {
        // Refresh: adopt the active slot, rebuild the parser, acknowledge.
        const uint8_t slot = registry.active_slot();
        const PsfConfiguration& configuration = registry.configuration(slot);
        const PsfConfiguration snapshot = configuration;
        SIMDJsonAdapter parser{configuration.parse_fields};
        acknowledged_slot[t].store(slot, std::memory_order_release);
        for (int batch = 0; batch < 3; ++batch) {
          ASSERT_EQ(parser.Load(buffer), Status::Ok);
          while (parser.HasNext()) {
            evaluator.Evaluate(
                registry, configuration, parser.NextRecord(),
                [&](uint16_t id, const GenericValue& value) {
                  // Projection i reads /f<i>, whose value in any document ends in digits i.
                  ASSERT_EQ(value.Int64() % 100, id);
                },
                [](uint32_t, uint32_t) {});
            ++local;
          }
          ASSERT_EQ(configuration.general_set, snapshot.general_set) << "slot rebuilt while in use";
          ASSERT_EQ(configuration.parse_fields, snapshot.parse_fields) << "slot rebuilt while in use";
        }
      }
      records += local;
    });
  }

  std::mt19937 random{7};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  int changes = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    std::vector<PsfChange> list;
    for (int k = 0; k < 3; ++k) {
      uint16_t id = random() % kFields;
      list.push_back(random() % 2 ? PsfChange::AddGeneral(id) : PsfChange::RemoveGeneral(id));
    }
    uint8_t next = registry.ActivateChange(list);
    for (auto& slot : acknowledged_slot) {
      while (slot.load(std::memory_order_acquire) != next) std::this_thread::yield();
    }
    registry.FinishChange(list);
    EXPECT_EQ(registry.configuration(0).general_set, registry.configuration(1).general_set);
    ++changes;
  }
  stop.store(true, std::memory_order_release);
  for (auto& inserter : inserters) inserter.join();
  EXPECT_GT(changes, 5);
  EXPECT_GT(records.load(), 0u);
}
