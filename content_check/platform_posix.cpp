#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"
#include "platform_posix.h"

namespace platform {

std::FILE* open_input(const char* name) {
  std::FILE* input = std::fopen(name, "r");
  if (input == nullptr) return nullptr;
  // Linux lets a directory be opened for reading; it only fails at the first read.
  struct stat st {};
  if (::fstat(::fileno(input), &st) != 0 || S_ISDIR(st.st_mode)) {
    std::fclose(input);
    return nullptr;
  }
  ::posix_fadvise(::fileno(input), 0, 0, POSIX_FADV_SEQUENTIAL);
  return input;
}

std::int64_t input_length(std::FILE* input) {
  struct stat st {};
  if (::fstat(::fileno(input), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

std::ptrdiff_t read_input(std::FILE* input, std::span<unsigned char> into) {
  // The stream's own buffer is never used: the scan reads large blocks straight
  // from the descriptor.
  for (;;) {
    const ssize_t got = ::read(::fileno(input), into.data(), into.size());
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

bool reports_holes(std::FILE* input) {
  // Some file systems answer the hole queries with made-up extents, or report
  // data that is still only in the page cache as a hole. Trust only those
  // known to answer truly; read everything elsewhere.
  struct statfs fs {};
  if (::fstatfs(::fileno(input), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      return false;
  }
}

DataExtent next_data(std::FILE* input, std::int64_t offset) {
  return next_data_with(::fileno(input), offset, ::lseek);
}

DataExtent next_data_with(int fd, std::int64_t offset, SeekFunction seek) {
  const off_t start = seek(fd, offset, SEEK_DATA);
  if (start < 0) {
    if (errno == ENXIO) return {DataExtent::none, offset, offset};
    // EINVAL, ENOTSUP and the like: the query is not to be had here. A failed
    // seek leaves the position alone, but make sure of it.
    seek(fd, offset, SEEK_SET);
    return {};
  }
  // The hole query moves the position too; a failure there only means that
  // the stretch's end is not known.
  off_t end = seek(fd, start, SEEK_HOLE);
  if (end < 0) end = start;
  if (seek(fd, start, SEEK_SET) != start) {
    seek(fd, offset, SEEK_SET);
    return {};
  }
  return {DataExtent::data, start, end};
}

std::FILE* create_result(const char* name) {
  return std::fopen(name, "wb");
}

}  // namespace platform
