// The store's disk: a root directory on a Disk, the segmented log file and single files
// for checkpoint data. All of them share the Disk's completion queue.
#pragma once

#include <memory>
#include <string>

#include "engine/persistence/io/disk.h"
#include "engine/persistence/io/disk_file.h"
#include "engine/persistence/io/segmented_file.h"

namespace psfstore {
namespace device {

template <class Epoch>
class StoreDisk {
 public:
  using LogFile = SegmentedFile<Epoch>;

  // Nothing is created until the first log segment or file is opened. The root gets a
  // trailing "/" when it has none. `options` decide whether files bypass the page cache.
  StoreDisk(const std::string& root, Epoch& epoch, std::unique_ptr<Disk> disk,
            FileOptions options = FileOptions{})
      : root_{WithTrailingSeparator(root)},
        disk_{std::move(disk)},
        default_options_{options},
        log_{root_ + "log.log", options, *disk_, epoch} {}

  // The operating system's files; `mechanism` decides whether transfers may use io_uring.
  StoreDisk(const std::string& root, Epoch& epoch,
            environment::IoMechanism mechanism = environment::IoMechanism::kAutomatic,
            FileOptions options = FileOptions{})
      : StoreDisk{root, epoch, std::make_unique<FileSystemDisk>(mechanism), options} {}

  // A closed file named root + `relative_name`.
  DiskFile NewFile(const std::string& relative_name) {
    return DiskFile{disk_.get(), root_ + relative_name, default_options_};
  }

  // Takes at most one completed transfer without waiting and runs its callback.
  bool TryComplete() { return disk_->TryComplete(); }

  const std::string& root_path() const { return root_; }
  Disk& disk() { return *disk_; }
  LogFile& log() { return log_; }

  static std::string WithTrailingSeparator(const std::string& root) {
    if (!root.empty() && root.back() == '/') return root;
    return root + "/";
  }

 private:
  std::string root_;
  std::unique_ptr<Disk> disk_;
  FileOptions default_options_;
  LogFile log_;
};

}  // namespace device
}  // namespace psfstore
