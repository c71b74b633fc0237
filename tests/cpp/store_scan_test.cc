// Scans through the store: records inserted by BatchInsert before and after a
// projection, on a log that has wrapped onto disk.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/persistence/scan/scan_context.h"
#include "engine/psf_store.h"
#include "temp_directory.h"
#include "values/comparator.h"

using namespace psfstore;
using core::Address;
using core::KeyHash;
using core::PaddedBuffer;
using core::PaddedView;
using core::PsfChange;
using core::PsfStore;
using core::Status;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;

namespace {

std::vector<uint64_t> Members(const quillmark::storage::Bitmap& bitmap) {
  std::vector<uint64_t> values;
  for (uint64_t i = 0, n = bitmap.Cardinality(); i < n; ++i) values.push_back(bitmap.Nth(i));
  return values;
}

TEST(StoreScanTest, IndexedScansSeeOnlyRecordsAfterTheProjectionFullScansSeeAll) {
  test_support::TempDirectory directory{"/dev/shm"};
  PsfStore store{4096, 6 * Address::kPageSize, directory.path() + "/store"};
  store.StartSession();
  PaddedBuffer buffer;
  std::string pad(20000, 'z');
  // Batches of 100 documents; every tenth has colour "red".
  auto insert_batches = [&](int batches, int first) {
    std::vector<std::string> reds;
    for (int b = 0; b < batches; ++b) {
      std::string text;
      for (int i = 0; i < 100; ++i) {
        int n = first + b * 100 + i;
        std::string doc = "{\"n\":" + std::to_string(n) + ",\"colour\":\"" + (n % 10 == 0 ? "red" : "blue") +
                          "\",\"pad\":\"" + pad + "\"}";
        if (n % 10 == 0) reds.push_back(doc);
        text += doc + "\n";
      }
      buffer.Assign(text);
      EXPECT_EQ(store.BatchInsert(buffer, b), 100u);
    }
    return reds;
  };
  std::vector<std::string> before = insert_batches(40, 0);
  uint16_t id = store.RegisterProjection("/colour");
  ASSERT_NE(store.ApplyPsfChange(std::vector<PsfChange>{PsfChange::AddGeneral(id)}), Address::Invalid());
  store.CompleteAction();
  std::vector<std::string> after = insert_batches(100, 4000);  // ~280 MB: the log wraps

  Comparator red{{std::string{"red"}}};
  core::BasicScanner chain{id, KeyHash::OfGeneralKey(id, "red", 3), Comparator::Bind(ScanOperation::EQ, red)};
  ASSERT_EQ(store.ChainScan(chain, Address{0}, Address::Max()), Status::Ok);
  core::BasicFullScanner full{"/colour", Comparator::Bind(ScanOperation::EQ, red)};
  ASSERT_EQ(store.FullScan(full, Address{0}, Address::Max()), Status::Ok);
  EXPECT_GT(store.head_address().control(), Members(full.results()).front()) << "part of the log is on disk";

  std::vector<uint64_t> indexed = Members(chain.results());
  std::vector<uint64_t> all = Members(full.results());
  ASSERT_EQ(indexed.size(), after.size());
  ASSERT_EQ(all.size(), before.size() + after.size());
  EXPECT_TRUE(std::includes(all.begin(), all.end(), indexed.begin(), indexed.end()));

  // The payloads of every match, in address order, equal the documents inserted.
  std::vector<std::string> expected = before;
  expected.insert(expected.end(), after.begin(), after.end());
  std::vector<std::string> read;
  ASSERT_EQ(store.ForEachPayload(all, [&](Address, PaddedView payload) { read.emplace_back(payload.text()); }),
            Status::Ok);
  EXPECT_EQ(read, expected);
  // An address where no record starts stops the walk with NotFound.
  std::vector<uint64_t> bad = {all.front(), all.front() + 8};
  EXPECT_EQ(store.ForEachPayload(bad, [](Address, PaddedView) {}), Status::NotFound);
  store.StopSession();

  EXPECT_THROW(store.FullScan(full, Address{0}, Address::Max()), std::logic_error);
}

}  // namespace
