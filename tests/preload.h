// What the modules that the tests preload into the program share: which file
// a descriptor is, and the C library's own reads to hand on to.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <charconv>
#include <string_view>

// Whether the path the descriptor was opened by ends in suffix. It asks for no
// memory: the program it runs in may have none left.
inline bool opened_as(int fd, std::string_view suffix) {
  char target[4096] = {};
  char link[32] = "/proc/self/fd/";
  std::to_chars(link + 14, link + sizeof link - 1, fd);
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n >= 0 && std::string_view(target, static_cast<std::size_t>(n)).ends_with(suffix);
}

inline ssize_t real_pread(int fd, void* buffer, std::size_t size, off_t offset) {
  using Pread = ssize_t (*)(int, void*, std::size_t, off_t);
  static const auto next = reinterpret_cast<Pread>(::dlsym(RTLD_NEXT, "pread"));
  return next(fd, buffer, size, offset);
}

inline ssize_t real_read(int fd, void* buffer, std::size_t size) {
  using Read = ssize_t (*)(int, void*, std::size_t);
  static const auto next = reinterpret_cast<Read>(::dlsym(RTLD_NEXT, "read"));
  return next(fd, buffer, size);
}
