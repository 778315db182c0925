// Preloaded into the program by the end-to-end test: every read from a file
// whose name ends in "unreadable" fails with EIO, as a failing disk would,
// whether it reads on from the file's position or at an offset of its own.
// A file whose name ends in "unseekable" reads on from its position, but
// refuses to seek and to read at an offset (ESPIPE), as a FUSE file system's
// file opened as a stream does, although it is a plain file with a size.
// Once a file whose name ends in "short" is open, the next open of any name
// leaves the program without memory: every malloc fails from then on. Where
// the program's malloc is not the C library's (a sanitizer's), that cannot be
// done: the program then ends at that open with status 77, saying why.
// Once a file whose name ends in "trickle" is open, standard output takes
// writes of several pieces one byte at a time, and answers "not now"
// (EAGAIN) before each, as a non-blocking pipe with little room does.
// Direct reads, which go around the page cache: a file whose name ends in
// "no-direct-open" cannot be opened for them (EINVAL), as ramfs refuses, and
// one whose name ends in "no-direct-read" is opened but refuses every such
// read (EINVAL), as file systems do that take them only at some alignments.
// A file whose name ends in "grows", at the first direct read of it, first
// grows to twice its length, its new last byte 0x01, as if a writer were at
// work.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdlib>
#include <string_view>

#include "preload.h"

extern "C" void* __libc_malloc(std::size_t size);

namespace {

bool short_input_open = false;
bool starving = false;
bool asked_here = false;  // the last malloc came to this module's
bool trickling = false;

using Open = int (*)(const char*, int, ...);
using OpenAt = int (*)(int, const char*, int, ...);

template <typename Call>
Call next(const char* name) {
  return reinterpret_cast<Call>(::dlsym(RTLD_NEXT, name));
}

// The C library's own opens, all found at the first, while there is memory.
struct RealOpens {
  Open open = next<Open>("open");
  Open open64 = next<Open>("open64");
  OpenAt openat = next<OpenAt>("openat");
  OpenAt openat64 = next<OpenAt>("openat64");
};

const RealOpens& real() {
  static const RealOpens opens;
  return opens;
}

// Called by every open once it has happened: the fd it opened, or -1.
int opened(int fd, int flags) {
  if (fd < 0) return fd;
  if ((flags & O_DIRECT) != 0 && opened_as(fd, "no-direct-open")) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  if (short_input_open) {
    // Whose malloc does the process call? This module's notes it. A
    // sanitizer's runtime, linked into the program, answers malloc and free
    // before any preloaded module does, and frees what another's malloc gave.
    asked_here = false;
    const bool sanitized = ::dlsym(RTLD_DEFAULT, "__asan_init") != nullptr;
    if (!sanitized) {
      void* volatile probe = std::malloc(1);
      std::free(probe);
    }
    if (sanitized || !asked_here) {
      constexpr std::string_view why = "fail_read: the program's malloc is not the C library's\n";
      static_cast<void>(::write(2, why.data(), why.size()));
      ::_exit(77);
    }
    starving = true;
  }
  if (opened_as(fd, "short")) short_input_open = true;
  if (opened_as(fd, "trickle")) trickling = true;
  return fd;
}

mode_t mode_of(int flags, va_list more) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(more, int)) : 0;
}

bool fails(int fd) {
  if (!opened_as(fd, "unreadable")) return false;
  errno = EIO;
  return true;
}

bool direct(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_DIRECT) != 0;
}

bool refused_direct(int fd) {
  if (!direct(fd) || !opened_as(fd, "no-direct-read")) return false;
  errno = EINVAL;
  return true;
}

// The file open at fd, on its first direct read, grows to twice its length
// with 0x01 as its last byte.
void grow_once(int fd) {
  static std::atomic<bool> grown = false;
  if (!direct(fd) || !opened_as(fd, "grows") || grown.exchange(true)) return;
  char path[32] = "/proc/self/fd/";
  std::to_chars(path + 14, path + sizeof path - 1, fd);
  const int writer = real().open(path, O_WRONLY | O_CLOEXEC);
  struct stat st {};
  if (writer < 0 || ::fstat(writer, &st) != 0 || ::ftruncate(writer, 2 * st.st_size) != 0 ||
      ::pwrite(writer, "\x01", 1, 2 * st.st_size - 1) != 1)
    ::_exit(78);
  ::close(writer);
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
  grow_once(fd);
  return fails(fd) || cannot_seek(fd) || refused_direct(fd) ? -1
                                                            : real_pread(fd, buffer, size, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, std::size_t size, off_t offset) {
  grow_once(fd);
  return fails(fd) || cannot_seek(fd) || refused_direct(fd) ? -1
                                                            : real_pread(fd, buffer, size, offset);
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
  return cannot_seek(fd) ? -1 : real_lseek(fd, offset, whence);
}

extern "C" off_t lseek64(int fd, off_t offset, int whence) {
  return cannot_seek(fd) ? -1 : real_lseek(fd, offset, whence);
}

extern "C" ssize_t writev(int fd, const iovec* pieces, int count) {
  using Writev = ssize_t (*)(int, const iovec*, int);
  static const auto real_writev = next<Writev>("writev");
  if (!trickling || fd != STDOUT_FILENO) return real_writev(fd, pieces, count);
  static bool room = false;
  room = !room;
  if (!room) {
    errno = EAGAIN;
    return -1;
  }
  for (int i = 0; i < count; ++i) {
    if (pieces[i].iov_len == 0) continue;
    const iovec first_byte{pieces[i].iov_base, 1};
    return real_writev(fd, &first_byte, 1);
  }
  return 0;
}

extern "C" void* malloc(std::size_t size) {
  asked_here = true;
  if (starving) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}

extern "C" int open(const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode = mode_of(flags, more);
  va_end(more);
  return opened(real().open(path, flags, mode), flags);
}

extern "C" int open64(const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode = mode_of(flags, more);
  va_end(more);
  return opened(real().open64(path, flags, mode), flags);
}

extern "C" int openat(int at, const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode = mode_of(flags, more);
  va_end(more);
  return opened(real().openat(at, path, flags, mode), flags);
}

extern "C" int openat64(int at, const char* path, int flags, ...) {
  va_list more;
  va_start(more, flags);
  const mode_t mode = mode_of(flags, more);
  va_end(more);
  return opened(real().openat64(at, path, flags, mode), flags);
}
