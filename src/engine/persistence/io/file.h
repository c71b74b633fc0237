// Platform file operations: the only place where the engine opens, transfers, closes
// and deletes files. Every function returns 0 on success or a positive errno value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace psfstore {
namespace environment {

// How a file was opened.
struct OpenedFile {
  int descriptor = -1;
  // True when the kernel accepted O_DIRECT; false when the file system refused it and
  // the file fell back to the page cache (transfers stay sector-aligned either way).
  bool direct = false;
  // Logical sector size of the device holding the file.
  uint32_t sector_size = 512;
};

// Opens or creates `path` for reading and writing without truncating it. With
// `unbuffered` the file is opened with O_DIRECT, falling back to a buffered open when
// the file system refuses O_DIRECT (EINVAL).
int OpenFile(const std::string& path, bool unbuffered, OpenedFile* file);

// Logical sector size of the device behind `descriptor`: BLKSSZGET for a block device,
// else 512. Returns 0 when the descriptor cannot be queried.
int QuerySectorSize(int descriptor, uint32_t* sector_size);

// Closes a descriptor.
int CloseFile(int descriptor);

// Removes a file by name.
int DeleteFile(const std::string& path);

// Positional transfers of exactly `length` bytes, restarted after interruptions and
// partial transfers. A read that reaches the end of the file stops there and reports
// the bytes it got in `transferred`; a write that cannot complete returns an error.
int ReadAt(int descriptor, void* buffer, size_t length, uint64_t offset, size_t* transferred);
int WriteAt(int descriptor, const void* buffer, size_t length, uint64_t offset, size_t* transferred);

// "Errno(<number>) <text>": the error part of the messages about refused transfers.
std::string ErrorText(int error);

}  // namespace environment
}  // namespace psfstore
