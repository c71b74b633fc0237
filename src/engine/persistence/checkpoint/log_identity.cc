#include "engine/persistence/checkpoint/log_identity.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "engine/core/address.h"
#include "engine/persistence/checkpoint/checkpoint_state.h"

namespace psfstore {
namespace core {

Status WriteLogOrigin(const std::string& path, const LogOrigin& origin) {
  OriginHeader header{origin.log, origin.activation_addresses.size()};
  std::vector<uint8_t> bytes(sizeof(header) + header.activation_count * sizeof(ActivationRecord));
  std::memcpy(bytes.data(), &header, sizeof(header));
  size_t offset = sizeof(header);
  for (const auto& [id, address] : origin.activation_addresses) {
    ActivationRecord record{id, {0, 0, 0}, address};
    std::memcpy(bytes.data() + offset, &record, sizeof(record));
    offset += sizeof(record);
  }
  return WriteWholeFile(path, bytes.data(), bytes.size());
}

Status ReadLogOrigin(const std::string& path, LogOrigin& origin) {
  origin = LogOrigin{};
  std::error_code missing;
  if (!std::filesystem::exists(path, missing)) return missing ? Status::IOError : Status::NotFound;
  std::ifstream file{path, std::ios::binary};
  std::vector<char> bytes{std::istreambuf_iterator<char>{file}, {}};
  if (!file.good() && !file.eof()) return Status{Status::IOError, "cannot read " + path};
  auto refuse = [&](const std::string& why) { return Status{Status::Corruption, path + ": " + why}; };
  OriginHeader header;
  if (bytes.size() < sizeof(header)) return refuse("shorter than its header");
  std::memcpy(&header, bytes.data(), sizeof(header));
  if ((bytes.size() - sizeof(header)) / sizeof(ActivationRecord) != header.activation_count ||
      (bytes.size() - sizeof(header)) % sizeof(ActivationRecord) != 0) {
    return refuse("its size does not match its " + std::to_string(header.activation_count) + " activation records");
  }
  if (header.log.IsNull()) return refuse("no log identity");
  origin.log = header.log;
  for (uint64_t i = 0; i < header.activation_count; ++i) {
    ActivationRecord record;
    std::memcpy(&record, bytes.data() + sizeof(header) + i * sizeof(record), sizeof(record));
    if (record.address >= Address::kNoAddress) return refuse("an activation address beyond the address space");
    if (!origin.activation_addresses.emplace(record.predicate_id, record.address).second) {
      return refuse("predicate " + std::to_string(record.predicate_id) + " listed twice");
    }
  }
  return Status::Ok;
}

LogIdentity::LogIdentity(std::string path) : path_{std::move(path)}, fork_address_{Address::kFirstValidAddress} {
  std::ifstream file{path_, std::ios::binary};
  std::vector<char> bytes{std::istreambuf_iterator<char>{file}, {}};
  if (bytes.empty() || bytes.size() % sizeof(Entry) != 0) return;
  lineage_.resize(bytes.size() / sizeof(Entry));
  std::memcpy(lineage_.data(), bytes.data(), bytes.size());
  continued_ = lineage_.front().log;
}

Status LogIdentity::ForkLocked() {
  std::vector<Entry> lineage{Entry{Guid::Create(), Address::kNoAddress}};
  // Writing from the fork address on overwrites every log the files hold from there.
  for (const Entry& entry : lineage_) {
    if (lineage.size() > kMaxAncestors) break;
    lineage.push_back(Entry{entry.log, std::min(entry.valid_below, fork_address_)});
  }
  Status status = WriteWholeFile(path_, lineage.data(), lineage.size() * sizeof(Entry));
  if (status != Status::Ok) return status;
  lineage_ = std::move(lineage);
  continued_ = lineage_.front().log;
  owned_.store(true, std::memory_order_release);
  return Status::Ok;
}

Status LogIdentity::ClaimForNewLog() {
  std::lock_guard lock{mutex_};
  if (owned_.load(std::memory_order_relaxed)) return Status::Ok;
  return ForkLocked();
}

Status LogIdentity::ForCheckpoint(Guid& identity) {
  std::lock_guard lock{mutex_};
  if (continued_.IsNull()) {
    Status status = ForkLocked();
    if (status != Status::Ok) return status;
  }
  identity = continued_;
  return Status::Ok;
}

Status LogIdentity::CheckRecoverable(const Guid& log, uint64_t final_address) const {
  std::lock_guard lock{mutex_};
  for (const Entry& entry : lineage_) {
    if (entry.log != log) continue;
    if (entry.valid_below >= final_address) return Status::Ok;
    return Status{Status::Corruption, "the checkpoint's log " + log.ToString() + " was overwritten from address " +
                                          std::to_string(entry.valid_below) + " on, below the checkpoint's end " +
                                          std::to_string(final_address)};
  }
  return Status{Status::Corruption,
                "the checkpoint was taken of log " + log.ToString() + ", but the store's files hold " +
                    (lineage_.empty() ? std::string{"a log without identity"} : "log " + lineage_.front().log.ToString())};
}

void LogIdentity::ContinueRecoveredLog(const Guid& log, uint64_t final_address) {
  std::lock_guard lock{mutex_};
  continued_ = log.IsNull() && !lineage_.empty() ? lineage_.front().log : log;
  fork_address_ = final_address;
  // Its first record forks the recovered log there, whatever this store did before.
  owned_.store(false, std::memory_order_release);
}

}  // namespace core
}  // namespace psfstore
