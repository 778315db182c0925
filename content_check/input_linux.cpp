// The input on Linux: opened as fopen opens it, read straight from its
// descriptor, with holes and lengths trusted only where the file system's
// answers are true, and cold data read around the page cache.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <limits>
#include <mutex>
#include <new>
#include <utility>

#include "direct_reads.h"
#include "input.h"
#include "input_linux.h"
#include "platform_linux.h"

namespace platform {

namespace {

// The type of file system that holds a plain file; 0 for anything else, or
// when it cannot be told.
unsigned long file_system_of(int fd, const struct stat& st) {
  struct statfs fs {};
  if (!S_ISREG(st.st_mode) || ::fstatfs(fd, &fs) != 0) return 0;
  return static_cast<unsigned long>(fs.f_type);
}

// Some file systems answer the hole queries with made-up extents, or report
// data that is still only in the page cache as a hole. Trust only those known
// to answer truly; read everything elsewhere.
bool reports_holes(unsigned long file_system) {
  switch (file_system) {
    case EXT4_SUPER_MAGIC:  // also ext2 and ext3
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case TMPFS_MAGIC:
      return true;
    default:
      return false;
  }
}

// The kernel's own file systems make their files' text when they are read,
// and report a size that says nothing of it: sysfs gives 4096 for every
// attribute, even one that delivers no byte, and procfs 0 or whatever suits
// it. Such a file has no length to go by; it is read to the end of its data.
bool sizes_say_nothing(unsigned long file_system) {
  constexpr unsigned long configfs_magic = 0x62656570;  // not in every linux/magic.h
  switch (file_system) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case configfs_magic:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case SELINUX_MAGIC:
    case SMACK_MAGIC:
    case BINFMTFS_MAGIC:
      return true;
    default:
      return false;
  }
}

// cachestat(2), from Linux 6.5 on, which older headers do not name; the same
// number on every architecture.
constexpr long cachestat_call = 451;
struct CacheRange {
  std::uint64_t offset, length;
};
struct CacheCount {
  std::uint64_t cached, dirty, writeback, evicted, recently_evicted;
};

constexpr std::int64_t page = 4096;

// Whether most of the pages that hold the bytes from offset to end are in the
// page cache, or any of them waits to be written.
Residence residence_of(int fd, std::int64_t offset, std::int64_t end) {
  if (end <= offset) return Residence::cached;  // nothing to go around the cache for
  const CacheRange range{static_cast<std::uint64_t>(offset),
                         static_cast<std::uint64_t>(end - offset)};
  CacheCount count{};
  // ENOSYS before Linux 6.5; refused for some files (hugetlbfs).
  if (::syscall(cachestat_call, fd, &range, &count, 0) != 0) return Residence::unknown;
  if (count.dirty + count.writeback > 0) return Residence::cached;
  const auto pages = static_cast<std::uint64_t>((end - 1) / page - offset / page + 1);
  return 2 * count.cached >= pages ? Residence::cached : Residence::cold;
}

// What direct reads of the file opened at fd must be aligned to: the logical
// block of a block device, what the file system says of a plain file; 0 when
// it says that it takes none. File systems that say nothing get the page,
// which is enough for nearly all; a refusal at the first read ends the
// direct path.
std::size_t direct_alignment(int fd, const struct stat& st) {
  if (S_ISBLK(st.st_mode)) {
    int logical_block = 0;
    return ::ioctl(fd, BLKSSZGET, &logical_block) == 0 && logical_block > 0
               ? static_cast<std::size_t>(logical_block)
               : page;
  }
  constexpr unsigned int dio_align = 0x2000;  // STATX_DIOALIGN, Linux 6.1 on
  struct statx sx {};
  if (::statx(fd, "", AT_EMPTY_PATH, dio_align, &sx) != 0 || (sx.stx_mask & dio_align) == 0)
    return page;
  if (sx.stx_dio_offset_align == 0) return 0;
  return std::max<std::size_t>(sx.stx_dio_mem_align, sx.stx_dio_offset_align);
}

// The file open at fd opened again for direct reads, through /proc: the name
// it was opened by may since lead elsewhere, or nowhere. -1 when it cannot be.
int open_direct_of(int fd, const struct stat& st) {
  char path[32] = "/proc/self/fd/";
  std::to_chars(path + 14, path + sizeof path - 1, fd);
  const int direct = ::open(path, O_RDONLY | O_DIRECT | O_CLOEXEC);
  if (direct < 0) return -1;
  struct stat now {};
  if (::fstat(direct, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    ::close(direct);
    return -1;
  }
  return direct;
}

class FileInput final : public Input, DirectCalls {
 public:
  FileInput(int fd, const struct stat& st, unsigned long file_system)
      : fd_(fd),
        st_(st),
        sized_(!sizes_say_nothing(file_system)),
        holes_(reports_holes(file_system)),
        identity_(identity_of(st)) {}
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  ~FileInput() override { close(); }

  std::int64_t length() override {
    const std::int64_t length = measure();
    measured_ = length;
    return length;
  }

  std::ptrdiff_t read(std::span<unsigned char> into) override {
    for (;;) {
      const ssize_t got = ::read(fd_, into.data(), into.size());
      if (got >= 0) return got;
      if (errno != EINTR) return failed();
    }
  }

  // A file that cannot seek has no offsets to read at, although it may be a
  // plain file with a size: FUSE file systems open some files as streams.
  bool positioned() const override {
    return (S_ISREG(st_.st_mode) || S_ISBLK(st_.st_mode)) && ::lseek(fd_, 0, SEEK_CUR) >= 0;
  }

  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    return direct_.read_at(into, offset);
  }

  DataExtent next_data(std::int64_t offset) override {
    if (!holes_) return {};
    return next_data_with(fd_, offset, ::lseek);
  }

  bool seek(std::int64_t offset) override {
    if (::lseek(fd_, offset, SEEK_SET) == offset) return true;
    failed();
    return false;
  }

  std::optional<ChangeStamp> change_stamp() override {
    struct stat now {};
    if (::fstat(fd_, &now) != 0) return std::nullopt;
    constexpr std::int64_t ns = 1000000000;
    return ChangeStamp{.size = now.st_size,
                       .changed = now.st_ctim.tv_sec * ns + now.st_ctim.tv_nsec,
                       .written = now.st_mtim.tv_sec * ns + now.st_mtim.tv_nsec};
  }

  FileIdentity identity() const override { return identity_; }

  Failure read_failure() const override { return {.error = read_error_.load()}; }

  void close() override {
    direct_.stop();
    if (direct_fd_ >= 0) ::close(std::exchange(direct_fd_, -1));
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  std::int64_t measure() {
    if (S_ISREG(st_.st_mode)) {
      if (!sized_) return -1;
      struct stat now {};
      return ::fstat(fd_, &now) == 0 ? now.st_size : -1;
    }
    // A block device reports a size of 0; its length is the device's.
    std::uint64_t device_size = 0;
    if (S_ISBLK(st_.st_mode) && ::ioctl(fd_, BLKGETSIZE64, &device_size) == 0)
      return static_cast<std::int64_t>(device_size);
    return -1;
  }

  // Asked of windows of 8 MiB, each once, and several windows ahead of the
  // readers: the kernel reads ahead of reads through the cache (16 MiB on the
  // project's machine), and a window that such reads had filled would be
  // read through the cache in turn, and read ahead of, to the end of a file
  // whose first part was cached. A question for each read also cost a scan
  // of cached data a few percent. A read across windows goes by the first.
  // The scan never asks for bytes past the length it last measured: only the
  // pages up to there count, and windows past it are asked about once it has
  // grown.
  Residence residence(std::int64_t offset, std::size_t size) override {
    const std::int64_t length = measured_;
    const std::int64_t end = std::min(offset + static_cast<std::int64_t>(size), length);
    const std::int64_t window = offset / window_size;
    if (end <= offset) return Residence::cached;  // nothing to go around the cache for
    const std::lock_guard<std::mutex> locked(windows_lock_);
    // The last window, which holds offset 2^63 - 1, may be short.
    constexpr std::int64_t last_window = std::numeric_limits<std::int64_t>::max() / window_size;
    for (std::int64_t ahead = window; ahead < window + windows_ahead && ahead <= last_window;
         ++ahead) {
      const std::int64_t start = ahead * window_size;
      if (start >= length) break;
      const std::int64_t window_end = length - start < window_size ? length : start + window_size;
      Window& known = windows_[ahead % windows_ahead];
      if (known.window != ahead) known = {ahead, residence_of(fd_, start, window_end)};
    }
    return windows_[window % windows_ahead].residence;
  }

  std::size_t open_direct() override {
    const std::size_t alignment = direct_alignment(fd_, st_);
    if (alignment == 0) return 0;
    direct_fd_ = open_direct_of(fd_, st_);
    if (direct_fd_ < 0) return 0;
    // From here cold data is read directly: a read through the cache is of
    // data already there, or of a few bytes at an unaligned end, and reading
    // ahead of those would fill the cache with what the direct reads are
    // about to read.
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_RANDOM);
    return alignment;
  }

  std::ptrdiff_t read_direct(std::span<unsigned char> into, std::int64_t offset) override {
    for (;;) {
      const ssize_t got = ::pread(direct_fd_, into.data(), into.size(), offset);
      if (got >= 0) return got;
      if (errno != EINTR) {
        // Reads through the cache take over, reading ahead again.
        ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
        return -1;
      }
    }
  }

  std::ptrdiff_t read_cached(std::span<unsigned char> into, std::int64_t offset) override {
    for (;;) {
      const ssize_t got = ::pread(fd_, into.data(), into.size(), offset);
      if (got >= 0) return got;
      if (errno != EINTR) return failed();
    }
  }

  // Keeps errno as why the input failed: -1, for the caller.
  int failed() {
    read_error_ = errno;
    return -1;
  }

  int fd_;
  struct stat st_;  // as it was opened: what kind of file it is
  bool sized_;      // its size tells how many bytes it holds
  bool holes_;
  FileIdentity identity_;
  std::atomic<int> read_error_ = 0;
  std::atomic<std::int64_t> measured_ = 0;  // the length as last measured
  static constexpr std::int64_t window_size = std::int64_t{8} << 20;
  static constexpr std::int64_t windows_ahead = 8;
  struct Window {
    std::int64_t window = -1;
    Residence residence = Residence::cached;
  };
  std::mutex windows_lock_;
  Window windows_[windows_ahead];  // by window number, modulo their count
  int direct_fd_ = -1;             // the file opened again for direct reads
  DirectReads direct_{*this};
};

}  // namespace

std::unique_ptr<Input> open_input(const char* name, Failure* why) {
  // What fopen with "r" opens, without the stream: the scan reads large blocks
  // straight from the descriptor.
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail_open(why, {.error = errno});
  // Linux lets a directory be opened for reading; it only fails at the first read.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    return fail_open(why, {.error = error});
  }
  // The scan reads front to back once: let the kernel read further ahead.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  auto* const input = new (std::nothrow) FileInput(fd, st, file_system_of(fd, st));
  if (input == nullptr) {
    ::close(fd);
    return fail_open(why, {.error = ENOMEM});
  }
  return std::unique_ptr<Input>(input);
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

}  // namespace platform
