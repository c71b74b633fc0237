// What BatchInsert stages for each document before it inserts any: the payload, the key
// pointers its predicates yield and the value bytes that go after the payload.
//
// A batch is parsed and evaluated completely first, so that a batch refused half way
// leaves nothing in the log. The staging lists belong to the inserting thread and are
// reused from batch to batch: in steady state staging allocates nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/key_hash.h"
#include "engine/core/record.h"

namespace psfstore {
namespace core {

// One key pointer to be written: its chain's hash and the key pointer itself, complete
// but for its chain link, which the insert sets.
struct StagedKeyPointer {
  KeyHash hash;
  KeyPointer key_pointer;
};

// One document of a batch. Key pointers and optional bytes live in the batch's shared
// lists, at the given positions.
struct RecordInsertContext {
  const char* payload;
  uint32_t payload_size;
  uint32_t first_key_pointer;   // index into InsertStaging::key_pointers
  uint32_t key_pointer_count;
  uint32_t first_optional_byte; // index into InsertStaging::optional_bytes
  uint32_t optional_size;
  uint32_t batch_offset;        // payload bytes of this and every earlier document
};

struct InsertStaging {
  std::vector<RecordInsertContext> records;
  std::vector<StagedKeyPointer> key_pointers;
  std::vector<char> optional_bytes;

  void Clear() {
    records.clear();
    key_pointers.clear();
    optional_bytes.clear();
  }
};

}  // namespace core
}  // namespace psfstore
