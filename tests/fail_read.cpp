// Preloaded into the program by the end-to-end test: every read from a file
// whose name ends in "unreadable" fails with EIO, as a failing disk would,
// whether it reads on from the file's position or at an offset of its own.
// A file whose name ends in "unseekable" reads on from its position, but
// refuses to seek and to read at an offset (ESPIPE), as a FUSE file system's
// file opened as a stream does, although it is a plain file with a size.
#include <sys/types.h>

#include <cerrno>

#include "preload.h"

namespace {

bool fails(int fd) {
  if (!opened_as(fd, "unreadable")) return false;
  errno = EIO;
  return true;
}

bool cannot_seek(int fd) {
  if (!opened_as(fd, "unseekable")) return false;
  errno = ESPIPE;
  return true;
}

off_t real_lseek(int fd, off_t offset, int whence) {
  using Lseek = off_t (*)(int, off_t, int);
  static const auto next = reinterpret_cast<Lseek>(::dlsym(RTLD_NEXT, "lseek"));
  return next(fd, offset, whence);
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  return fails(fd) ? -1 : real_read(fd, buffer, size);
}

// On 64-bit systems the C library has both names for each of these calls.
extern "C" ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset) {
  return fails(fd) || cannot_seek(fd) ? -1 : real_pread(fd, buffer, size, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, std::size_t size, off_t offset) {
  return fails(fd) || cannot_seek(fd) ? -1 : real_pread(fd, buffer, size, offset);
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
  return cannot_seek(fd) ? -1 : real_lseek(fd, offset, whence);
}

extern "C" off_t lseek64(int fd, off_t offset, int whence) {
  return cannot_seek(fd) ? -1 : real_lseek(fd, offset, whence);
}
