#include <gtest/gtest.h>

#include <atomic>
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
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      uint64_t local = 0;
      while (!done.load(std::memory_order_acquire)) {
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
