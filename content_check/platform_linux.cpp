#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"
#include "platform_linux.h"

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
  // The scan reads front to back once: let the kernel read further ahead.
  ::posix_fadvise(::fileno(input), 0, 0, POSIX_FADV_SEQUENTIAL);
  return input;
}

std::int64_t input_length(std::FILE* input) {
  const int fd = ::fileno(input);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return -1;
  if (S_ISREG(st.st_mode)) return st.st_size;
  // A block device reports a size of 0; its length is the device's.
  std::uint64_t device_size = 0;
  if (S_ISBLK(st.st_mode) && ::ioctl(fd, BLKGETSIZE64, &device_size) == 0)
    return static_cast<std::int64_t>(device_size);
  return -1;
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
  struct stat st {};
  struct statfs fs {};
  if (::fstat(::fileno(input), &st) != 0 || !S_ISREG(st.st_mode)) return false;
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

bool seek_input(std::FILE* input, std::int64_t offset) {
  return ::lseek(::fileno(input), offset, SEEK_SET) == offset;
}

DataExtent next_data(std::FILE* input, std::int64_t offset) {
  return next_data_with(::fileno(input), offset, ::lseek);
}

DataExtent next_data_with(int fd, std::int64_t offset, SeekFunction seek) {
  errno = 0;
  const off_t start = seek(fd, offset, SEEK_DATA);
  if (start == -1 && errno == ENXIO) return {DataExtent::none, offset, offset};
  if (start < offset) {
    // EINVAL, ENOTSUP and the like, or an answer before the offset asked,
    // which would have the scan read bytes other than those it counts: the
    // query is not to be had here. A failed seek leaves the position alone,
    // but make sure of it.
    seek(fd, offset, SEEK_SET);
    return {};
  }
  // The hole query moves the position too. A failure there, or an answer
  // before the stretch's start, only means that its end is not known: btrfs
  // answers -2^63 for a stretch that ends at 2^63, past the largest offset.
  off_t end = seek(fd, start, SEEK_HOLE);
  if (end < start) end = start;
  if (seek(fd, start, SEEK_SET) != start) {
    seek(fd, offset, SEEK_SET);
    return {};
  }
  return {DataExtent::data, start, end};
}

CreatedResult create_result(const char* name, std::FILE* input) {
  // Opened without cutting first, so that the input is never cut, even when a
  // link lands between a check by name and the open. Not blocking, so that a
  // FIFO of that name with no reader fails at once instead of hanging the run.
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return {};
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct stat result {};
  struct stat source {};
  if (::fstat(fd, &result) != 0 || ::fstat(::fileno(input), &source) != 0) {
    ::close(fd);
    return {};
  }
  if (result.st_dev == source.st_dev && result.st_ino == source.st_ino) {
    ::close(fd);
    return {nullptr, true};
  }
  if (S_ISREG(result.st_mode) && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return {};
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return {file, false};
}

}  // namespace platform
