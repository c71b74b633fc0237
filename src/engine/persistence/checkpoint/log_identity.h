// Which log a store directory's segment files hold, and which log a checkpoint was
// taken of, so that a checkpoint is only ever recovered over its own log.
//
//   <root>log-identity.dat                     the files' log lineage, 24 bytes per log
//   <root>cpr-checkpoints/<token>/origin.dat   LogOrigin: OriginHeader, then one
//                                              ActivationRecord per active projection
//
// A store gives the files a new random log identity before its first record can reach
// them; merely opening a store over a directory writes nothing. Checkpoints written
// before logs had identities have no origin file and are recovered unchecked.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/core/guid.h"
#include "base/status.h"

namespace psfstore {
namespace core {

// What a log checkpoint records about its log, beside its metadata.
struct LogOrigin {
  // The identity of the log the checkpoint was taken of.
  Guid log;
  // Active general predicate id -> the log address from which it indexes records.
  std::map<uint16_t, uint64_t> activation_addresses;
};

struct OriginHeader {
  Guid log;
  uint64_t activation_count = 0;
};
static_assert(sizeof(OriginHeader) == 24);

struct ActivationRecord {
  uint16_t predicate_id = 0;
  uint16_t padding[3] = {0, 0, 0};
  uint64_t address = 0;
};
static_assert(sizeof(ActivationRecord) == 16);

constexpr const char* kLogIdentityFileName = "log-identity.dat";
constexpr const char* kLogOriginFileName = "origin.dat";

// IOError when the file cannot be written whole.
Status WriteLogOrigin(const std::string& path, const LogOrigin& origin);
// NotFound when there is no file at `path`, IOError when it cannot be read, Corruption
// (with the reason) when it is not a well-formed origin file.
Status ReadLogOrigin(const std::string& path, LogOrigin& origin);

// The lineage of the log in a store's files: the identity of the log they hold and of
// the logs it continues, each with the address below which the files still hold that
// log's content. A recovered store that writes on forks the log it recovered at the
// recovered tail: the checkpoints of that log up to there stay recoverable, later ones
// do not. Thread-safe.
class LogIdentity {
 public:
  // Logs remembered besides the current one; older ones are forgotten.
  static constexpr size_t kMaxAncestors = 63;

  // Reads the lineage at `path`; without one (or an unreadable one) it is empty.
  explicit LogIdentity(std::string path);

  // True once this store writes a log of its own.
  bool owned() const { return owned_.load(std::memory_order_acquire); }

  // Before this store's first record: gives the files a new log that continues the
  // one this store started from up to where it starts writing. Once; IOError when the
  // lineage cannot be written (nothing changes then).
  Status ClaimForNewLog();
  // The identity a checkpoint of this store records: the log it writes or continues (a
  // new one, claimed now, when the files name none).
  Status ForCheckpoint(Guid& identity);
  // Ok when a checkpoint of `log` ending at `final_address` can be recovered over the
  // files; Corruption, with the reason, when they hold another log or that log only
  // below `final_address`.
  Status CheckRecoverable(const Guid& log, uint64_t final_address) const;
  // After a recovery up to `final_address`: this store continues `log` (null for a
  // checkpoint that names none: the files' current log) from there.
  void ContinueRecoveredLog(const Guid& log, uint64_t final_address);

 private:
  struct Entry {
    Guid log;
    uint64_t valid_below;
  };
  static_assert(sizeof(Entry) == 24);

  Status ForkLocked();  // with mutex_ held

  const std::string path_;
  mutable std::mutex mutex_;
  std::vector<Entry> lineage_;  // newest first
  Guid continued_;              // the log this store continues; null when none
  uint64_t fork_address_;       // where this store starts writing
  std::atomic<bool> owned_{false};
};

}  // namespace core
}  // namespace psfstore
