// Preloaded into the program by the terminal test: every read from a file
// whose name ends in "slow" waits a tenth of a second and delivers at most
// 64 KiB, as a slow disk would, so that a file of known length takes seconds.
#include <algorithm>
#include <chrono>
#include <thread>

#include "preload.h"

namespace {

std::size_t slowed(int fd, std::size_t size) {
  if (fd <= 2 || !opened_as(fd, "slow")) return size;
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  return std::min<std::size_t>(size, 64 << 10);
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  return real_read(fd, buffer, slowed(fd, size));
}

// On 64-bit systems the C library has both names for the one call.
extern "C" ssize_t pread(int fd, void* buffer, std::size_t size, off_t offset) {
  return real_pread(fd, buffer, slowed(fd, size), offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, std::size_t size, off_t offset) {
  return real_pread(fd, buffer, slowed(fd, size), offset);
}
