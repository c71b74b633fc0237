// Fuzzes recovery's readers of a checkpoint's files. One real store is checkpointed
// once; each input replaces one of its files (the first byte picks which: the index
// metadata, the log metadata, a session file or the naming file) and a fresh store
// recovers from a copy of the directory. Recovery must report a status, never crash
// or hang. When it fails, the store is as fresh as before: at rest, its registry
// empty, its tail at the first address. When it succeeds, the recovered store must
// scan, take new records and scan them again.
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/padded_buffer.h"
#include "engine/persistence/checkpoint/checkpoint_state.h"
#include "engine/persistence/scan/scan_context.h"
#include "engine/psf_store.h"
#include "values/comparator.h"

using namespace psfstore;
using core::Address;
using core::Guid;
using core::PaddedBuffer;
using core::PsfChange;
using core::PsfStore;
using core::Status;
using recorder::operations::Comparator;
using recorder::operations::ScanOperation;

namespace {

constexpr uint64_t kTableSize = 1024;
constexpr uint64_t kLogSize = 6 * Address::kPageSize;

std::string Batch(int first, int count) {
  std::string text;
  for (int n = first; n < first + count; ++n) {
    text += "{\"k\": \"v" + std::to_string(n % 5) + "\", \"n\": " + std::to_string(n) + "}\n";
  }
  return text;
}

// A checkpointed store directory, made once, and the paths of the files inputs replace.
struct Template {
  Template() {
    std::string pattern = "/dev/shm/quillmark-recovery-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    base = pattern;
    original = base + "/original";
    work = base + "/work";
    {
      PsfStore store{kTableSize, kLogSize, original};
      store.StartSession();
      uint16_t id = store.RegisterProjection("/k");
      std::vector<PsfChange> changes{PsfChange::AddGeneral(id)};
      if (store.ApplyPsfChange(changes) == Address::Invalid()) std::abort();
      store.CompleteAction();
      PaddedBuffer first{Batch(0, 200)};
      store.BatchInsert(first, 1);
      Status index_status = Status::Pending;
      if (store.CheckpointIndex([&](Status status) { index_status = status; }, index_token) != Status::Ok) std::abort();
      store.CompleteAction();
      PaddedBuffer second{Batch(200, 200)};  // after the index copy: found by the replay
      store.BatchInsert(second, 2);
      Status log_status = Status::Pending;
      if (store.CheckpointHybridLog({}, log_token, [&](Status status) { log_status = status; }) != Status::Ok) std::abort();
      store.CompleteAction();
      if (index_status != Status::Ok || log_status != Status::Ok) std::abort();
      PaddedBuffer third{Batch(400, 50)};  // after the checkpoint: dropped by recovery
      store.BatchInsert(third, 3);
      store.StopSession();
    }
    std::string log_directory = original + "/" + core::LogCheckpointDirectory(log_token);
    core::LogMetadata log;
    if (core::ReadRecordFile(log_directory + "info.dat", log) != Status::Ok) std::abort();
    files = {
        core::IndexCheckpointDirectory(index_token) + "info.dat",
        core::LogCheckpointDirectory(log_token) + "info.dat",
        core::LogCheckpointDirectory(log_token) + core::SessionFileName(log.guids[0].IsNull() ? Guid{} : log.guids[0]),
        core::NamingFileName(log_token),
    };
    for (const auto& guid : log.guids) {
      if (!guid.IsNull()) files[2] = core::LogCheckpointDirectory(log_token) + core::SessionFileName(guid);
    }
    if (const char* seeds = std::getenv("QUILLMARK_WRITE_SEEDS")) WriteSeeds(seeds);
  }
  ~Template() {
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
  }

  // The unchanged files as seed inputs, one per kind, into directory `seeds`.
  void WriteSeeds(const std::string& seeds) const {
    for (size_t kind = 0; kind < files.size(); ++kind) {
      std::ifstream in{original + "/" + files[kind], std::ios::binary};
      std::string content{std::istreambuf_iterator<char>{in}, {}};
      std::ofstream out{seeds + "/kind" + std::to_string(kind), std::ios::binary};
      out.put(static_cast<char>(kind));
      out << content;
    }
  }

  std::string base;
  std::string original;
  std::string work;
  Guid index_token;
  Guid log_token;
  std::vector<std::string> files;
};

uint64_t ScanCount(PsfStore& store, uint16_t id, const std::string& value) {
  Comparator operand{{value}};
  core::BasicScanner chain{id, core::KeyHash::OfGeneralKey(id, value.data(), value.size()),
                           Comparator::Bind(ScanOperation::EQ, operand)};
  store.ChainScan(chain, Address{0}, Address::Max());
  core::BasicFullScanner full{"/k", Comparator::Bind(ScanOperation::EQ, operand)};
  store.FullScan(full, Address{0}, Address::Max());
  return chain.match_count();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Template checkpoint;
  if (size == 0) return 0;
  const std::string& replaced = checkpoint.files[data[0] % checkpoint.files.size()];

  std::error_code ignored;
  std::filesystem::remove_all(checkpoint.work, ignored);
  std::filesystem::copy(checkpoint.original, checkpoint.work, std::filesystem::copy_options::recursive);
  {
    std::ofstream out{checkpoint.work + "/" + replaced, std::ios::binary | std::ios::trunc};
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }

  PsfStore store{kTableSize, kLogSize, checkpoint.work};
  core::RecoveryResult result;
  Status status = store.Recover(checkpoint.index_token, checkpoint.log_token, result);
  if (!store.system_state().IsRest()) std::abort();
  if (status != Status::Ok) {
    if (status == Status::Aborted || status.message().empty()) std::abort();
    if (store.registry().field_count() != 0 || store.registry().general_psf_count() != 0) std::abort();
    if (store.tail_address() != Address{Address::kFirstValidAddress}) std::abort();
    return 0;
  }
  // Recovered: whatever the files said, the store scans, takes records and finds them.
  store.StartSession();
  auto projection = result.projections.find("/k");
  uint16_t id = projection != result.projections.end() ? projection->second : 0;
  uint64_t before = ScanCount(store, id, "v1");
  PaddedBuffer more{Batch(1000, 10)};
  try {
    store.BatchInsert(more, result.session_records.empty() ? 1 : result.session_records.begin()->second.serial_number + 1);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "recovered store refused a batch: %s\n", error.what());
    std::abort();
  }
  uint64_t after = ScanCount(store, id, "v1");
  if (projection != result.projections.end() && after != before + 2) {
    std::fprintf(stderr, "chain scan found %llu records of v1 after adding 2 to %llu\n",
                 static_cast<unsigned long long>(after), static_cast<unsigned long long>(before));
    std::abort();
  }
  store.StopSession();
  return 0;
}
