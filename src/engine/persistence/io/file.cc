#include "engine/persistence/io/file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace psfstore {
namespace environment {

namespace {

constexpr uint32_t kDefaultSectorSize = 512;

int OpenWithFlags(const std::string& path, int extra_flags) {
  int descriptor;
  do {
    descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | extra_flags, 0644);
  } while (descriptor < 0 && errno == EINTR);
  return descriptor;
}

}  // namespace

int OpenFile(const std::string& path, bool unbuffered, OpenedFile* file) {
  file->descriptor = -1;
  file->direct = false;
  int descriptor = -1;
  if (unbuffered) {
    descriptor = OpenWithFlags(path, O_DIRECT);
    if (descriptor >= 0) {
      file->direct = true;
    } else if (errno != EINVAL) {
      return errno;
    }
  }
  if (descriptor < 0) {
    descriptor = OpenWithFlags(path, 0);
    if (descriptor < 0) return errno;
  }
  int error = QuerySectorSize(descriptor, &file->sector_size);
  if (error != 0) {
    ::close(descriptor);
    file->direct = false;
    return error;
  }
  file->descriptor = descriptor;
  return 0;
}

int QuerySectorSize(int descriptor, uint32_t* sector_size) {
  struct stat info;
  if (::fstat(descriptor, &info) != 0) return errno;
  *sector_size = kDefaultSectorSize;
  if (S_ISBLK(info.st_mode)) {
    int size = 0;
    if (::ioctl(descriptor, BLKSSZGET, &size) != 0) return errno;
    if (size > 0) *sector_size = static_cast<uint32_t>(size);
  }
  return 0;
}

int CloseFile(int descriptor) {
  // Linux releases the descriptor even when close reports EINTR: never retry.
  return ::close(descriptor) == 0 ? 0 : errno;
}

int DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int ReadAt(int descriptor, void* buffer, size_t length, uint64_t offset, size_t* transferred) {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t got = ::pread(descriptor, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      *transferred = done;
      return errno;
    }
    if (got == 0) break;  // end of file
    done += static_cast<size_t>(got);
  }
  *transferred = done;
  return 0;
}

int WriteAt(int descriptor, const void* buffer, size_t length, uint64_t offset, size_t* transferred) {
  const auto* bytes = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t put =
        ::pwrite(descriptor, bytes + done, length - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      *transferred = done;
      return errno;
    }
    if (put == 0) {
      *transferred = done;
      return EIO;
    }
    done += static_cast<size_t>(put);
  }
  *transferred = done;
  return 0;
}

std::string ErrorText(int error) {
  return "Errno(" + std::to_string(error) + ") " + std::strerror(error);
}

}  // namespace environment
}  // namespace psfstore
