// One file of the store's disk: a log segment or a checkpoint file.
#pragma once

#include <cstdint>
#include <string>

#include "base/status.h"
#include "engine/core/async_context.h"
#include "engine/persistence/io/disk.h"

namespace psfstore {
namespace device {

struct FileOptions {
  // Bypass the page cache (O_DIRECT) where the file system allows it.
  bool unbuffered = true;
};

// A file handle that is a plain value: copies share the disk's handle and nothing closes
// it implicitly, so a segment bundle can hand its files on to the next bundle while
// readers still use the old one. Close or Delete release it.
class DiskFile {
 public:
  DiskFile() = default;
  // A closed file named `filename` on `disk`, which must outlive every copy.
  DiskFile(Disk* disk, std::string filename, FileOptions options)
      : filename_{std::move(filename)}, options_{options}, disk_{disk} {}

  // Opens or creates the file (never truncating it) on its disk, which carries all of
  // its transfers. IOError when the file cannot be opened or its sector size cannot be
  // read.
  core::Status Open();

  // Closes the handle if one is held; IOError when the disk reports the close failed
  // (the handle is released either way).
  core::Status Close();
  // Makes the data written so far durable; IOError when the disk cannot.
  core::Status Sync() const;
  // Closes, then removes the file by name. A failed removal is ignored.
  void Delete();

  // Schedules a transfer on the disk. Offset, length and buffer address must be
  // multiples of the sector size, buffered or not, so the same code runs on every file
  // system; a misaligned or closed transfer is refused with IOError.
  core::Status ReadAsync(uint64_t offset, void* buffer, uint32_t length,
                         core::AsyncIOCallback callback, core::IAsyncContext& context) const;
  core::Status WriteAsync(uint64_t offset, const void* buffer, uint32_t length,
                          core::AsyncIOCallback callback, core::IAsyncContext& context) const;

  uint32_t alignment() const { return alignment_; }
  const std::string& filename() const { return filename_; }
  bool is_open() const { return open_; }
  // True when transfers bypass the page cache.
  bool direct() const { return direct_; }

 private:
  core::Status Schedule(environment::IoOperation operation, uint64_t offset, void* buffer,
                        uint32_t length, core::AsyncIOCallback callback,
                        core::IAsyncContext& context) const;

  int descriptor_ = -1;
  uint32_t alignment_ = 512;
  std::string filename_;
  bool open_ = false;
  bool direct_ = false;
  FileOptions options_;
  Disk* disk_ = nullptr;
};

}  // namespace device
}  // namespace psfstore
