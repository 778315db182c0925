// Preloaded into the program by the terminal test: every read from a file
// whose name ends in "slow" waits a tenth of a second and delivers at most
// 64 KiB, as a slow disk would, so that a file of known length takes seconds.
#include <algorithm>
#include <chrono>
#include <thread>

#include "preload.h"

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  if (fd > 2 && opened_as(fd, "slow")) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    size = std::min<std::size_t>(size, 64 << 10);
  }
  return real_read(fd, buffer, size);
}
