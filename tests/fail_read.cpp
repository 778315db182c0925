// Preloaded into the program by the end-to-end test: every read from a file
// whose name ends in "unreadable" fails with EIO, as a failing disk would.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool is_unreadable(int fd) {
  char target[4096] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
  constexpr char suffix[] = "unreadable";
  constexpr std::size_t suffix_length = sizeof suffix - 1;
  return n >= static_cast<ssize_t>(suffix_length) &&
         std::memcmp(target + n - suffix_length, suffix, suffix_length) == 0;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, std::size_t size) {
  using Read = ssize_t (*)(int, void*, std::size_t);
  static const auto real_read = reinterpret_cast<Read>(::dlsym(RTLD_NEXT, "read"));
  if (is_unreadable(fd)) {
    errno = EIO;
    return -1;
  }
  return real_read(fd, buffer, size);
}
