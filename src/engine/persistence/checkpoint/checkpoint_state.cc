#include "engine/persistence/checkpoint/checkpoint_state.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace psfstore {
namespace core {

std::string IndexCheckpointDirectory(const Guid& token) { return "index-checkpoints/" + token.ToString() + "/"; }

std::string LogCheckpointDirectory(const Guid& token) { return "cpr-checkpoints/" + token.ToString() + "/"; }

std::string NamingFileName(const Guid& token) { return "naming-checkpoint-" + token.ToString() + ".txt"; }

std::string SessionFileName(const Guid& session) { return session.ToString() + ".dat"; }

std::optional<Guid> ParseToken(std::string_view text) { return Guid::Parse(text); }

Status RecreateDirectory(const std::string& path) {
  std::error_code code;
  std::filesystem::remove_all(path, code);
  if (code) return Status{Status::IOError, "cannot remove " + path + ": " + code.message()};
  std::filesystem::create_directories(path, code);
  if (code) return Status{Status::IOError, "cannot create " + path + ": " + code.message()};
  return Status::Ok;
}

Status WriteWholeFile(const std::string& path, const void* data, size_t bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return Status::IOError;
  bool written = std::fwrite(data, 1, bytes, file) == bytes;
  // A checkpoint counts only once its files are on the device, not in the page cache.
  written = written && std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
  bool closed = std::fclose(file) == 0;
  return written && closed ? Status::Ok : Status::IOError;
}

Status ReadExactly(const std::string& path, void* data, size_t bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Status::IOError;
  bool read = std::fread(data, 1, bytes, file) == bytes;
  bool closed = std::fclose(file) == 0;
  return read && closed ? Status::Ok : Status::IOError;
}

}  // namespace core
}  // namespace psfstore
