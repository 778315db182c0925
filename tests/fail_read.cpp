// Preloaded into the program by the end-to-end test: every read from a file
// whose name ends in "unreadable" fails with EIO, as a failing disk would,
// whether it reads on from the file's position or at an offset of its own.
#include <cerrno>

#include "preload.h"

namespace {

bool fails(int fd) {
  if (!opened_as(fd, "unreadable")) return false;
  errno = EIO;
  return true;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  return fails(fd) ? -1 : real_read(fd, buffer, size);
}

// On 64-bit systems the C library has both names for the one call.
extern "C" ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset) {
  return fails(fd) ? -1 : real_pread(fd, buffer, size, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, std::size_t size, off_t offset) {
  return fails(fd) ? -1 : real_pread(fd, buffer, size, offset);
}
