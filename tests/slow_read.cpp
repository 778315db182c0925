// Preloaded into the program by the terminal test: every read from a file
// whose name ends in "slow" waits a tenth of a second and delivers at most
// 64 KiB, as a slow disk would, so that a file of known length takes seconds.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

bool is_slow(int fd) {
  char target[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  constexpr char suffix[] = "slow";
  constexpr std::size_t suffix_length = sizeof suffix - 1;
  return n >= static_cast<ssize_t>(suffix_length) &&
         std::memcmp(target + n - suffix_length, suffix, suffix_length) == 0;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  using Read = ssize_t (*)(int, void*, std::size_t);
  static const auto real_read = reinterpret_cast<Read>(::dlsym(RTLD_NEXT, "read"));
  if (fd > 2 && is_slow(fd)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    size = std::min<std::size_t>(size, 64 << 10);
  }
  return real_read(fd, buffer, size);
}
