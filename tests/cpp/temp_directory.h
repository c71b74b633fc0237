// A fresh directory under a chosen parent, removed with its contents at scope exit.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace psfstore {
namespace test_support {

class TempDirectory {
 public:
  explicit TempDirectory(const std::string& parent) {
    std::string pattern = parent + "/quillmark-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + parent);
    path_ = pattern;
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  const std::string& path() const { return path_; }
  bool Exists(const std::string& name) const { return std::filesystem::exists(path_ + "/" + name); }

 private:
  std::string path_;
};

// /dev/shm is tmpfs here; /tmp sits on the machine's disk.
inline const char* const kTestParents[] = {"/tmp", "/dev/shm"};

}  // namespace test_support
}  // namespace psfstore
