#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "platform.h"
#include "platform_linux.h"

namespace platform {

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
}

int read_stdin_byte() {
  unsigned char byte = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got == 1) return byte;
    if (got == 0) return end_of_line_input;
    if (errno != EINTR) return line_input_error;
  }
}

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

namespace {

bool same_file(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) return true;
  // Two device nodes of one device are two inodes that reach the same bytes.
  const bool both_block = S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode);
  const bool both_character = S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode);
  return (both_block || both_character) && a.st_rdev == b.st_rdev;
}

// Whether the directory that holds the name is world-writable and sticky, and
// if so who owns it. There anyone may plant an entry, and only the entry's
// owner or the directory's may remove or rename it.
bool shared_directory_owner(const char* name, uid_t& owner) {
  const std::string path = name;
  const std::size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) return false;
  if ((st.st_mode & S_ISVTX) == 0 || (st.st_mode & S_IWOTH) == 0) return false;
  owner = st.st_uid;
  return true;
}

// Opens the result name in a shared directory as the kernel's
// protected_symlinks and protected_regular rules would, since those are off on
// some systems: a link is followed, and an existing entry opened, only when it
// belongs to the caller or to the directory's owner. Nobody else can remove or
// rename such an entry here, so it is still the one looked at when it is
// opened. -1 when refused or when the open fails.
int open_in_shared_directory(const char* name, int flags, uid_t directory_owner) {
  // Each turn ends unless another entry of that name appears between the look
  // and the open; a few turns are plenty.
  for (int turn = 0; turn < 4; ++turn) {
    struct stat entry {};
    if (::lstat(name, &entry) != 0) {
      if (errno != ENOENT) return -1;
      const int fd = ::open(name, flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
      if (fd >= 0 || errno != EEXIST) return fd;
      continue;
    }
    if (entry.st_uid != ::geteuid() && entry.st_uid != directory_owner) return -1;
    if (S_ISLNK(entry.st_mode)) return ::open(name, flags | O_CREAT, 0666);
    const int fd = ::open(name, flags | O_NOFOLLOW);
    if (fd < 0 && errno == ENOENT) continue;
    struct stat opened {};
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_dev != entry.st_dev ||
                    opened.st_ino != entry.st_ino)) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  return -1;
}

}  // namespace

CreatedResult create_result(const char* name, std::FILE* input) {
  // Opened without cutting first, so that the input is never cut, even when a
  // link lands between a check by name and the open. Not blocking, so that a
  // FIFO of that name with no reader fails at once instead of hanging the run.
  const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
  uid_t directory_owner = 0;
  const int fd = shared_directory_owner(name, directory_owner)
                     ? open_in_shared_directory(name, flags, directory_owner)
                     : ::open(name, flags | O_CREAT, 0666);
  if (fd < 0) return {};
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct stat result {};
  struct stat source {};
  if (::fstat(fd, &result) != 0 || ::fstat(::fileno(input), &source) != 0) {
    ::close(fd);
    return {};
  }
  if (same_file(result, source)) {
    ::close(fd);
    return {nullptr, true, {}};
  }
  if (S_ISREG(result.st_mode) && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return {};
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) ::close(fd);
  return {file, false, {static_cast<std::uint64_t>(result.st_dev), result.st_ino}};
}

void remove_result(const char* name, FileIdentity created) {
  // lstat, so that a link is seen as a link and never removed in place of the
  // file it leads to.
  struct stat entry {};
  if (::lstat(name, &entry) != 0 || !S_ISREG(entry.st_mode)) return;
  if (entry.st_dev != created.volume || entry.st_ino != created.index) return;
  ::unlink(name);
}

}  // namespace platform
