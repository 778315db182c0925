// What the tests see of the page cache: a file made cold, as one is that
// nobody has read for a while, and how many of its pages are cached.
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// Written out and dropped from the page cache; false when it cannot be.
inline bool make_cold(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool dropped = ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
  ::close(fd);
  return dropped;
}

// The file's pages in the page cache (cachestat, Linux 6.5 on, whose number
// older headers do not name), from the offset on for the length, or to the
// end; -1 when the system cannot tell.
inline std::int64_t cached_pages(const std::string& path, std::uint64_t offset = 0,
                                 std::uint64_t length = 0) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const std::uint64_t range[2] = {offset, length};  // a length of 0: to the end
  std::uint64_t count[5] = {};  // cached, dirty, writeback, evicted, recently evicted
  const long asked = ::syscall(451, fd, range, count, 0);
  ::close(fd);
  return asked == 0 ? static_cast<std::int64_t>(count[0]) : -1;
}

// Why a file just made cold is not, or nothing when it is: the program reads
// cold data around the cache only where the system tells what is cached.
inline std::string why_not_cold(const std::string& path) {
  const std::int64_t pages = cached_pages(path);
  if (pages < 0) return "no cachestat here: everything is read through the page cache";
  if (pages > 0) return "this file system keeps its files in memory: nothing here is cold";
  return {};
}
