// Preloaded into the program by the terminal test: every read from a file
// whose name ends in "slow" waits a tenth of a second and delivers at most
// 64 KiB, as a slow disk would, so that a file of known length takes seconds.
// With SLOW_READ_FILL_HEAP set, and a limit on the process's memory, the first
// such read first takes all the heap there is, so that whatever the program
// asks of the heap from then on is refused.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "preload.h"

namespace {

// Only under a limit: otherwise there would be no end to it.
bool memory_limited() {
  rlimit data{}, address_space{};
  return (::getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur != RLIM_INFINITY) ||
         (::getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY);
}

// Blocks of falling sizes, kept for good, down to the smallest the heap gives.
void fill_heap() {
  static std::atomic<bool> filled = false;
  if (filled.exchange(true) || std::getenv("SLOW_READ_FILL_HEAP") == nullptr || !memory_limited())
    return;
  // Kept where the compiler must store it, so that no call is left out.
  static void* volatile kept = nullptr;
  for (std::size_t size = 1 << 20; size >= 8; size /= 2)
    for (;;) {
      kept = std::malloc(size);
      if (kept == nullptr) break;
    }
}

std::size_t slowed(int fd, std::size_t size) {
  if (fd <= 2 || !opened_as(fd, "slow")) return size;
  fill_heap();
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
