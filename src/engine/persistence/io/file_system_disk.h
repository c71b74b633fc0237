// The store's disk: a root directory, one completion queue for all of its files, the
// segmented log file and single files for checkpoint data.
#pragma once

#include <string>

#include "engine/persistence/io/file_system_file.h"
#include "engine/persistence/io/queue_io_handler.h"
#include "engine/persistence/io/segmented_file.h"

namespace psfstore {
namespace device {

template <class Epoch>
class FileSystemDisk {
 public:
  using LogFile = FileSystemSegmentedFile<Epoch>;

  // Nothing is created on disk until the first log segment or file is opened. The
  // root gets a trailing "/" when it has none. `options` decide whether files bypass
  // the page cache; `mechanism` whether transfers may use io_uring.
  FileSystemDisk(const std::string& root, Epoch& epoch,
                 environment::IoMechanism mechanism = environment::IoMechanism::kAutomatic,
                 FileOptions options = FileOptions{})
      : root_{WithTrailingSeparator(root)},
        handler_{mechanism},
        default_options_{options},
        log_{root_ + "log.log", options, handler_, epoch} {}

  // A closed file named root + `relative_name`.
  FileSystemFile NewFile(const std::string& relative_name) const {
    return FileSystemFile{root_ + relative_name, default_options_};
  }

  // Takes at most one completed transfer without waiting and runs its callback.
  bool TryComplete() { return handler_.TryComplete(); }

  const std::string& root_path() const { return root_; }
  environment::QueueIoHandler& handler() { return handler_; }
  LogFile& log() { return log_; }

  static std::string WithTrailingSeparator(const std::string& root) {
    if (!root.empty() && root.back() == '/') return root;
    return root + "/";
  }

 private:
  std::string root_;
  environment::QueueIoHandler handler_;
  FileOptions default_options_;
  LogFile log_;
};

}  // namespace device
}  // namespace psfstore
