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
#include "values/generic_value.h"

namespace psfstore {
namespace core {

// One key pointer to be written: its chain's hash, word 1 and the value (words 2-4,
// zero for inline predicates).
struct StagedKeyPointer {
  KeyHash hash;
  uint64_t word1;
  recorder::data::GenericValue value;
};

// One document of a batch. Key pointers and optional bytes live in the batch's shared
// lists, at the given positions.
struct RecordInsertContext {
  const char* payload;
  uint32_t payload_size;
  uint32_t first_key_pointer;   // index into InsertStaging::key_pointers
  uint32_t key_pointer_count;
  uint32_t general_count;       // the first general_count key pointers are general
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
