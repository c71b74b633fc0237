// The on-disk records of a checkpoint and where they live.
//
//   <root>index-checkpoints/<token>/info.dat   IndexMetadata, 56 bytes
//   <root>index-checkpoints/<token>/ht.dat     the bucket table, raw
//   <root>index-checkpoints/<token>/ofb.dat    the overflow bucket pages, raw
//   <root>cpr-checkpoints/<token>/info.dat     LogMetadata, 2,336 bytes
//   <root>cpr-checkpoints/<token>/<guid>.dat   SessionRecord, 32 bytes, one per session
//   <root>naming-checkpoint-<token>.txt        the predicate registry, as text
//
// Every binary file is the little-endian image of the structure below, so the
// structures are plain, padded explicitly and checked for size and offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "engine/core/address.h"
#include "engine/core/guid.h"
#include "engine/core/thread.h"

namespace psfstore {
namespace core {

// What an index checkpoint recorded about the table it wrote.
struct IndexMetadata {
  uint32_t version = 0;
  uint32_t padding = 0;
  uint64_t table_size = 0;
  uint64_t hash_table_bytes = 0;
  uint64_t overflow_bytes = 0;
  uint64_t overflow_bucket_count = 0;
  uint64_t log_begin_address = Address::kInvalidAddress;
  uint64_t checkpoint_start_address = Address::kInvalidAddress;

  // Everything zero except both addresses, which are the invalid address.
  void Reset() { *this = IndexMetadata{}; }
};
static_assert(sizeof(IndexMetadata) == 56);
static_assert(offsetof(IndexMetadata, table_size) == 8);
static_assert(offsetof(IndexMetadata, overflow_bucket_count) == 32);
static_assert(offsetof(IndexMetadata, checkpoint_start_address) == 48);

// What a log checkpoint recorded: its version, the address up to which the log is
// durable, and the sessions that took part (one GUID slot per thread index).
struct LogMetadata {
  static constexpr uint32_t kNoVersion = 0xFFFFFFFF;

  uint8_t use_snapshot_file = 0;
  uint8_t reserved[3] = {0, 0, 0};
  uint32_t version = kNoVersion;
  uint32_t session_count = 0;
  uint32_t padding = 0;
  uint64_t flushed_address = Address::kInvalidAddress;
  uint64_t final_address = Address::kNoAddress;
  uint64_t serial_numbers[Thread::kMaxThreads] = {};
  Guid guids[Thread::kMaxThreads] = {};

  // The state between checkpoints: no version, no session, no final address.
  void Reset() { *this = LogMetadata{}; }
  // The state at the start of a log checkpoint of version `checkpoint_version`.
  void Begin(uint32_t checkpoint_version) {
    Reset();
    version = checkpoint_version;
  }
};
static_assert(sizeof(LogMetadata) == 2336);
static_assert(offsetof(LogMetadata, version) == 4);
static_assert(offsetof(LogMetadata, flushed_address) == 16);
static_assert(offsetof(LogMetadata, final_address) == 24);
static_assert(offsetof(LogMetadata, serial_numbers) == 32);
static_assert(offsetof(LogMetadata, guids) == 800);

// One session's part in a log checkpoint.
struct SessionRecord {
  uint64_t serial_number = 0;
  uint32_t version = 0;
  uint32_t padding = 0;
  Guid guid;
};
static_assert(sizeof(SessionRecord) == 32);
static_assert(offsetof(SessionRecord, guid) == 16);

// Relative paths under the store root (which ends in "/").
std::string IndexCheckpointDirectory(const Guid& token);  // "index-checkpoints/<token>/"
std::string LogCheckpointDirectory(const Guid& token);    // "cpr-checkpoints/<token>/"
std::string NamingFileName(const Guid& token);            // "naming-checkpoint-<token>.txt"
std::string SessionFileName(const Guid& session);         // "<guid>.dat"

// The token of a checkpoint from its text, upper or lower case; nullopt otherwise.
std::optional<Guid> ParseToken(std::string_view text);

// Empties `path` if it exists and creates it with any missing parents. IOError,
// with the reason in `error` when given, if either step fails.
Status RecreateDirectory(const std::string& path);

// Writes `bytes` bytes as the whole content of `path` (created or truncated) and
// closes it. IOError when the file cannot be opened, written in full or closed.
Status WriteWholeFile(const std::string& path, const void* data, size_t bytes);
// Reads exactly `bytes` bytes from the start of `path`. IOError when the file is
// missing, shorter than that, or cannot be closed.
Status ReadExactly(const std::string& path, void* data, size_t bytes);

template <class Record>
Status WriteRecordFile(const std::string& path, const Record& record) {
  return WriteWholeFile(path, &record, sizeof(Record));
}
template <class Record>
Status ReadRecordFile(const std::string& path, Record& record) {
  return ReadExactly(path, &record, sizeof(Record));
}

}  // namespace core
}  // namespace psfstore
