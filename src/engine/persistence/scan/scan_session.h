// What a scan needs from the session that runs it, and the types scans read.
#pragma once

#include <cstdint>

#include "engine/core/internal_hash_table.h"
#include "engine/core/light_epoch.h"
#include "engine/core/system_state.h"
#include "engine/persistence/log/hybrid_log.h"

namespace psfstore {
namespace core {

using HybridLog = PersistentMemoryMalloc<LightEpoch>;

// The calling thread's session as scans see it. The thread holds the epoch while it
// runs a scan's in-memory part.
class ScanSession {
 public:
  virtual ~ScanSession() = default;
  // The thread's view of the system version and phase.
  virtual uint32_t version() const = 0;
  virtual Phase phase() const = 0;
  // Moves the thread's epoch forward and lets it take part in a pending phase change.
  virtual void Refresh() = 0;
};

}  // namespace core
}  // namespace psfstore
