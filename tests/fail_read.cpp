// Preloaded into the program by the end-to-end test: every read from a file
// whose name ends in "unreadable" fails with EIO, as a failing disk would.
#include <cerrno>

#include "preload.h"

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  if (opened_as(fd, "unreadable")) {
    errno = EIO;
    return -1;
  }
  return real_read(fd, buffer, size);
}
