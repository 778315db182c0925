#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <new>
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
    if (errno == EINTR) continue;
    // Whoever shares standard input may have left it non-blocking: the name
    // has not come yet, so wait for it rather than take an empty one.
    if (errno != EAGAIN && errno != EWOULDBLOCK) return line_input_error;
    pollfd ready{.fd = STDIN_FILENO, .events = POLLIN, .revents = 0};
    if (::poll(&ready, 1, -1) < 0 && errno != EINTR) return line_input_error;
  }
}

namespace {

// Some file systems answer the hole queries with made-up extents, or report
// data that is still only in the page cache as a hole. Trust only those known
// to answer truly; read everything elsewhere.
bool reports_holes(int fd, const struct stat& st) {
  struct statfs fs {};
  if (!S_ISREG(st.st_mode) || ::fstatfs(fd, &fs) != 0) return false;
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

FileIdentity identity_of(const struct stat& st) {
  FileIdentity id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))
    id.device = (static_cast<std::uint64_t>(st.st_rdev) << 1 | (S_ISBLK(st.st_mode) ? 1 : 0)) + 1;
  return id;
}

class FileInput final : public Input {
 public:
  FileInput(int fd, const struct stat& st)
      : fd_(fd), st_(st), holes_(reports_holes(fd, st)), identity_(identity_of(st)) {}
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  ~FileInput() override { close(); }

  std::int64_t length() override {
    if (S_ISREG(st_.st_mode)) {
      struct stat now {};
      return ::fstat(fd_, &now) == 0 ? now.st_size : -1;
    }
    // A block device reports a size of 0; its length is the device's.
    std::uint64_t device_size = 0;
    if (S_ISBLK(st_.st_mode) && ::ioctl(fd_, BLKGETSIZE64, &device_size) == 0)
      return static_cast<std::int64_t>(device_size);
    return -1;
  }

  std::ptrdiff_t read(std::span<unsigned char> into) override {
    for (;;) {
      const ssize_t got = ::read(fd_, into.data(), into.size());
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

  bool positioned() const override { return S_ISREG(st_.st_mode) || S_ISBLK(st_.st_mode); }

  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    for (;;) {
      const ssize_t got = ::pread(fd_, into.data(), into.size(), offset);
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

  DataExtent next_data(std::int64_t offset) override {
    if (!holes_) return {};
    return next_data_with(fd_, offset, ::lseek);
  }

  bool seek(std::int64_t offset) override { return ::lseek(fd_, offset, SEEK_SET) == offset; }

  FileIdentity identity() const override { return identity_; }

  void close() override {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
  struct stat st_;  // as it was opened: what kind of file it is
  bool holes_;
  FileIdentity identity_;
};

}  // namespace

std::unique_ptr<Input> open_input(const char* name) {
  // What fopen with "r" opens, without the stream: the scan reads large blocks
  // straight from the descriptor.
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Linux lets a directory be opened for reading; it only fails at the first read.
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  // The scan reads front to back once: let the kernel read further ahead.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<FileInput>(fd, st);
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

// On 1 GiB of cached zeros, with one reader and with two, blocks of 512 KiB
// were faster than smaller and larger ones (see the README): small enough to
// stay in the processor's second-level cache between the copy and the check,
// large enough that the calls cost little.
const std::size_t scan_block = std::size_t{512} << 10;

namespace {

void* map_pages(std::size_t size) {
  void* const mapping =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return mapping == MAP_FAILED ? nullptr : mapping;
}

}  // namespace

ScanBuffer::ScanBuffer(std::size_t size, std::size_t head) noexcept {
  if (size == 0) return;
  head = std::min(head, size);
  // Past the head, transparent huge pages, where the system grants them on
  // request: their first touch is one page fault instead of one for each
  // 4 KiB page, and page faults are dear on virtual machines. Elsewhere the
  // mapping is made of small pages, touched only as the reads fill them.
  constexpr std::size_t huge_page = std::size_t{2} << 20;
  const std::size_t huge = (size - head + huge_page - 1) / huge_page * huge_page;
  // Mapped with a huge page to spare, so that a boundary can be found in it
  // with the head just before it; what lies before and after is given back.
  if (huge > 0) {
    if (auto* const raw = static_cast<unsigned char*>(map_pages(head + huge + huge_page))) {
      const auto at = reinterpret_cast<std::uintptr_t>(raw) + head;
      unsigned char* const first = raw + (huge_page - at % huge_page) % huge_page;
      if (first != raw) ::munmap(raw, static_cast<std::size_t>(first - raw));
      const std::size_t after = huge_page - static_cast<std::size_t>(first - raw);
      ::munmap(first + head + huge, after);
      ::madvise(first + head, huge, MADV_HUGEPAGE);  // a refusal only leaves small pages
      mapping_ = first;
      mapped_ = head + huge;
      bytes_ = {first, size};
      return;
    }
  }
  // Short of room for the spare huge page: small pages only.
  if (void* const plain = map_pages(size)) {
    mapping_ = plain;
    mapped_ = size;
    bytes_ = {static_cast<unsigned char*>(plain), size};
  }
}

ScanBuffer::~ScanBuffer() {
  if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
}

std::size_t usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  // The set is too small only on machines of more than 1024 processors.
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
}

namespace {

bool same_file(const FileIdentity& a, const FileIdentity& b) {
  if (a.volume == b.volume && a.index == b.index) return true;
  // Two device nodes of one device are two inodes that reach the same bytes.
  return a.device != 0 && a.device == b.device;
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

CreatedResult create_result(const char* name, const FileIdentity& input) {
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
  if (::fstat(fd, &result) != 0) {
    ::close(fd);
    return {};
  }
  const FileIdentity identity = identity_of(result);
  if (same_file(identity, input)) {
    ::close(fd);
    return {.is_input = true};
  }
  if (S_ISREG(result.st_mode) && ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return {};
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    return {};
  }
  return {.file = ResultFile(file), .identity = identity};
}

void remove_result(const char* name, const FileIdentity& created) {
  // lstat, so that a link is seen as a link and never removed in place of the
  // file it leads to.
  struct stat entry {};
  if (::lstat(name, &entry) != 0 || !S_ISREG(entry.st_mode)) return;
  const FileIdentity found = identity_of(entry);
  if (found.volume != created.volume || found.index != created.index) return;
  ::unlink(name);
}

namespace {

// The widest line drawn, whatever the terminal's width: room for any text.
constexpr std::size_t widest_line = 160;

// What an interruption writes: a carriage return, spaces over the widest line
// that may be shown, another carriage return. It is made before anything is
// drawn, so that the handler has only to write it.
char erase_sequence[widest_line + 2];
std::size_t erase_size = 0;
// Whether a line may be on the screen: the handler erases only then.
volatile std::sig_atomic_t line_shown = 0;

// Only calls that are safe in a signal handler: the erasure, then the signal
// again as if nobody had caught it, so that the shell sees the usual status.
void erase_and_end(int signal) {
  if (line_shown != 0) {
    const ssize_t written = ::write(STDERR_FILENO, erase_sequence, erase_size);
    static_cast<void>(written);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Writes all of it to standard error; false when the terminal fails.
bool put(const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

class TerminalLine final : public StatusLine {
 public:
  // Text stops short of the last column: a line that fills its row may wrap,
  // and a carriage return then goes back to the second row only.
  explicit TerminalLine(std::size_t columns) : width_(std::min(columns, widest_line + 1) - 1) {
    erase_sequence[0] = '\r';
    std::fill_n(erase_sequence + 1, width_, ' ');
    erase_sequence[width_ + 1] = '\r';
    erase_size = width_ + 2;
    line_shown = 0;
    struct sigaction action {};
    action.sa_handler = erase_and_end;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(signals_); ++i) {
      ::sigaction(signals_[i], nullptr, &previous_[i]);
      // A signal that the caller ignores, as a shell does for a program
      // started in the background, stays ignored.
      if (previous_[i].sa_handler != SIG_IGN) ::sigaction(signals_[i], &action, nullptr);
    }
  }
  TerminalLine(const TerminalLine&) = delete;
  TerminalLine& operator=(const TerminalLine&) = delete;

  ~TerminalLine() override {
    if (shown_ > 0) put(erase_sequence, erase_size);
    line_shown = 0;
    for (std::size_t i = 0; i < std::size(signals_); ++i)
      ::sigaction(signals_[i], &previous_[i], nullptr);
  }

  void show(std::string_view text) override {
    if (broken_ || width_ == 0) return;
    text = text.substr(0, width_);
    // Spaces over what is left of a longer line drawn before.
    std::string line(1, '\r');
    line.append(text);
    line.append(shown_ > text.size() ? shown_ - text.size() : 0, ' ');
    line_shown = 1;
    broken_ = !put(line.data(), line.size());
    shown_ = std::max(shown_, text.size());
  }

 private:
  static constexpr int signals_[] = {SIGINT, SIGTERM};
  struct sigaction previous_[std::size(signals_)]{};
  std::size_t width_;
  std::size_t shown_ = 0;  // the widest text drawn
  bool broken_ = false;    // a write failed: draw no more
};

}  // namespace

std::unique_ptr<StatusLine> open_status_line() {
  if (::isatty(STDERR_FILENO) == 0) return nullptr;
  struct winsize size {};
  const std::size_t columns =
      ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
  return std::make_unique<TerminalLine>(columns);
}

}  // namespace platform
