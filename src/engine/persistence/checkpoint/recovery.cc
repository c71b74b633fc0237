#include "engine/persistence/checkpoint/recovery.h"

#include "engine/persistence/checkpoint/index_checkpoint.h"
#include "engine/persistence/checkpoint/log_replay.h"
#include "engine/persistence/checkpoint/naming_checkpoint.h"

namespace psfstore {
namespace core {

namespace {

// Steps up to the metadata and session files: nothing of the store is touched yet.
Status ReadCheckpoint(const RecoveryTarget& target, const Guid& index_token, const Guid& log_token,
                      IndexMetadata& index, LogMetadata& log, RecoveryResult& result) {
  std::string index_directory = target.root + IndexCheckpointDirectory(index_token);
  std::string log_directory = target.root + LogCheckpointDirectory(log_token);
  if (ReadRecordFile(index_directory + "info.dat", index) != Status::Ok) {
    return Status{Status::IOError, "cannot read the index checkpoint's metadata " + index_directory + "info.dat"};
  }
  if (ReadRecordFile(log_directory + "info.dat", log) != Status::Ok) {
    return Status{Status::IOError, "cannot read the log checkpoint's metadata " + log_directory + "info.dat"};
  }
  if (log.version != index.version) {
    return Status{Status::Corruption, "index checkpoint version " + std::to_string(index.version) +
                                          " differs from log checkpoint version " + std::to_string(log.version)};
  }
  // Compared as recorded, each below the end of the address space: an Address keeps
  // only its low 48 bits, so a larger value would pass as some other address (a start
  // past the space as 0, replaying the whole log, with a begin beyond the tail that hid
  // every record written after the recovery).
  if (index.log_begin_address >= Address::kNoAddress || index.checkpoint_start_address >= Address::kNoAddress ||
      log.final_address >= Address::kNoAddress || index.log_begin_address > index.checkpoint_start_address ||
      index.checkpoint_start_address > log.final_address) {
    return Status{Status::Corruption, "the checkpoints' addresses do not fit together"};
  }
  for (uint32_t slot = 0; slot < Thread::kMaxThreads; ++slot) {
    const Guid& guid = log.guids[slot];
    if (guid.IsNull()) continue;
    SessionRecord record;
    if (ReadRecordFile(log_directory + SessionFileName(guid), record) != Status::Ok) {
      return Status{Status::IOError, "cannot read session file " + log_directory + SessionFileName(guid)};
    }
    if (result.session_records.emplace(guid, record).second) result.sessions.push_back(guid);
  }
  if (result.session_records.size() != log.session_count) {
    return Status{Status::Corruption, "the log checkpoint records " + std::to_string(log.session_count) +
                                          " sessions but has " + std::to_string(result.session_records.size())};
  }
  return Status::Ok;
}

}  // namespace

Status Recover(RecoveryTarget target, const Guid& index_token, const Guid& log_token, RecoveryResult& result) {
  result = RecoveryResult{};
  // Recovery expects an untouched store: replaying into a used one would mix two logs.
  if (target.log.GetTailAddress() != Address{Address::kFirstValidAddress} || target.registry.field_count() != 0 ||
      target.registry.general_psf_count() != 0) {
    return Status{Status::Aborted, "recovery needs a fresh store"};
  }
  if (!target.state_machine.TryBeginAction(Action::Recover)) {
    return Status{Status::Aborted, "another action is running"};
  }
  IndexMetadata index;
  LogMetadata log;
  Status status = ReadCheckpoint(target, index_token, log_token, index, log, result);
  // Only over the log it was taken of; checkpoints from before logs had identities
  // have no origin and are taken as they are.
  LogOrigin origin;
  bool has_origin = false;
  if (status == Status::Ok) {
    std::string origin_path = target.root + LogCheckpointDirectory(log_token) + kLogOriginFileName;
    status = ReadLogOrigin(origin_path, origin);
    has_origin = status == Status::Ok;
    if (status == Status::NotFound) {
      status = Status::Ok;
    } else if (status == Status::IOError) {
      status = Status{Status::IOError, "cannot read the log checkpoint's origin " + origin_path};
    } else if (status == Status::Ok) {
      status = target.identity.CheckRecoverable(origin.log, log.final_address);
    }
  }
  // The naming file is checked before the index is loaded, so that a refused file
  // (a library entry, malformed text) loads nothing at all.
  NamingCheckpoint naming;
  if (status == Status::Ok) {
    status = LoadNamingFile(target.root + NamingFileName(log_token), naming);
  }
  const uint64_t table_size = target.table.size();
  bool table_touched = false;
  if (status == Status::Ok) {
    table_touched = true;
    target.state_machine.SetRecoveredVersion(log.version + 1);
    IndexFiles files;
    status = files.StartLoad(target.table, target.root + IndexCheckpointDirectory(index_token),
                             target.disk.disk(), index);
    Status loaded = files.Wait(target.disk.disk());
    if (status == Status::Ok) status = loaded;
    if (status != Status::Ok) status = status.Annotate("cannot load the hash index of checkpoint " + index_token.ToString());
  }
  if (status == Status::Ok) {
    RepairLoadedIndex(target.table);
    status = ReplayLog(target.disk.log(), target.disk.disk(), target.table, Address{index.checkpoint_start_address},
                       Address{log.final_address}, log.version, kReplayBufferPages);
    if (status != Status::Ok) status = status.Annotate("cannot replay the log up to the checkpoint");
  }
  if (status == Status::Ok) {
    status = target.log.RecoverTail(Address{index.log_begin_address}, Address{log.final_address});
    if (status != Status::Ok) status = status.Annotate("cannot read the newest log pages");
  }
  if (status == Status::Ok) {
    status = naming.ApplyTo(target.registry);  // checked empty above
  }
  if (status == Status::Ok) {
    result.version = log.version;
    result.projections = naming.Projections();
    for (uint16_t id : naming.active_general) {
      auto activation = origin.activation_addresses.find(id);
      result.activation_addresses[id] =
          activation != origin.activation_addresses.end() ? activation->second : log.final_address;
    }
    target.identity.ContinueRecoveredLog(has_origin ? origin.log : Guid{}, log.final_address);
    target.state_machine.ReturnToRest();
    return Status::Ok;
  }
  // A partly loaded table would link new records to chains of a log this store does
  // not hold: start it empty again, so the store is as fresh as before the attempt.
  if (table_touched) {
    try {
      target.table.Initialize(table_size);
    } catch (const std::exception&) {
      // The old table stays; the caller was told recovery failed and discards the store.
    }
  }
  result.sessions.clear();
  result.session_records.clear();
  target.state_machine.ReturnToRest();
  return status;
}

}  // namespace core
}  // namespace psfstore
