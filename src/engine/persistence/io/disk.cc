#include "engine/persistence/io/disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace psfstore {
namespace device {

using core::Status;

Status FileSystemDisk::Open(const std::string& path, bool unbuffered,
                            environment::OpenedFile* file) {
  int error = environment::OpenFile(path, unbuffered, file);
  if (error == 0) return Status::Ok;
  return Status{Status::IOError, "cannot open " + path + ": " + environment::ErrorText(error)};
}

Status FileSystemDisk::Close(int handle) {
  int error = environment::CloseFile(handle);
  if (error == 0) return Status::Ok;
  return Status{Status::IOError, "cannot close a file: " + environment::ErrorText(error)};
}

Status FileSystemDisk::Sync(int handle) {
  // O_DIRECT bypasses the page cache but not the device's cache.
  if (::fdatasync(handle) == 0) return Status::Ok;
  return Status{Status::IOError, "cannot sync a file: " + environment::ErrorText(errno)};
}

Status FileSystemDisk::Delete(const std::string& path) {
  int error = environment::DeleteFile(path);
  if (error == 0) return Status::Ok;
  return Status{Status::IOError, "cannot delete " + path + ": " + environment::ErrorText(error)};
}

Status FileSystemDisk::FileSize(const std::string& path, uint64_t* size) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) {
    return Status{Status::IOError, "cannot read the size of " + path + ": " + environment::ErrorText(errno)};
  }
  *size = static_cast<uint64_t>(info.st_size);
  return Status::Ok;
}

}  // namespace device
}  // namespace psfstore
