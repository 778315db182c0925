#include <fcntl.h>
#include <linux/fs.h>
#include <linux/magic.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "naming.h"
#include "platform.h"
#include "platform_linux.h"

namespace platform {

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
}

namespace {

// Waits until standard input or output is ready, for whoever shares it may
// have left it non-blocking. False when the wait itself fails.
bool wait_until_ready(int fd, short events) {
  pollfd ready{.fd = fd, .events = events, .revents = 0};
  return ::poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

// Whether standard input is a socket that keeps messages apart (datagrams,
// sequenced packets). A read there takes a whole message, and whatever of it
// does not fit the read is gone, so the line cannot be read a byte at a time.
bool input_keeps_messages() {
  struct stat st {};
  if (::fstat(STDIN_FILENO, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int type = 0;
  socklen_t size = sizeof type;
  return ::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type != SOCK_STREAM;
}

// The line from a socket that keeps messages: one message, received whole,
// handed out a byte at a time up to its first newline; the message's end ends
// the line too. What follows the newline in the same message goes with it, as
// it would with any reader; later messages are left for others. Only as much
// of the message is kept as a name can hold.
int next_message_byte() {
  static unsigned char message[line_buffer_size];
  static std::size_t size = 0;
  static std::size_t at = 0;
  static bool received = false;
  while (!received) {
    const ssize_t got = ::recv(STDIN_FILENO, message, sizeof message, 0);
    if (got >= 0) {
      size = static_cast<std::size_t>(got);
      received = true;
    } else if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) ||
                                  !wait_until_ready(STDIN_FILENO, POLLIN))) {
      return line_input_error;
    }
  }
  if (at == size) return end_of_line_input;
  const unsigned char byte = message[at++];
  if (byte == '\n') size = at;
  return byte;
}

}  // namespace

int read_stdin_byte() {
  static const bool messages = input_keeps_messages();
  if (messages) return next_message_byte();
  unsigned char byte = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got == 1) return byte;
    if (got == 0) return end_of_line_input;
    if (errno == EINTR) continue;
    // Whoever shares standard input may have left it non-blocking: the name
    // has not come yet, so wait for it rather than take an empty one.
    if (errno != EAGAIN && errno != EWOULDBLOCK) return line_input_error;
    if (!wait_until_ready(STDIN_FILENO, POLLIN)) return line_input_error;
  }
}

bool write_stdout_line(std::string_view line) {
  iovec pieces[] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>("\n"), 1}};
  iovec* next = pieces;
  int left = static_cast<int>(std::size(pieces));
  while (left > 0) {
    const ssize_t written = ::writev(STDOUT_FILENO, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      // Full for now, with its reader still there: wait until there is room.
      if ((errno != EAGAIN && errno != EWOULDBLOCK) || !wait_until_ready(STDOUT_FILENO, POLLOUT))
        return false;
      continue;
    }
    if (written == 0) return false;
    auto done = static_cast<std::size_t>(written);
    for (; left > 0 && done >= next->iov_len; --left, ++next) done -= next->iov_len;
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

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

class FileInput final : public Input {
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

  std::ptrdiff_t read(std::span<unsigned char> into) override {
    for (;;) {
      const ssize_t got = ::read(fd_, into.data(), into.size());
      if (got >= 0) return got;
      if (errno != EINTR) return -1;
    }
  }

  // A file that cannot seek has no offsets to read at, although it may be a
  // plain file with a size: FUSE file systems open some files as streams.
  bool positioned() const override {
    return (S_ISREG(st_.st_mode) || S_ISBLK(st_.st_mode)) && ::lseek(fd_, 0, SEEK_CUR) >= 0;
  }

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

  std::optional<ChangeStamp> change_stamp() override {
    struct stat now {};
    if (::fstat(fd_, &now) != 0) return std::nullopt;
    constexpr std::int64_t ns = 1000000000;
    return ChangeStamp{.size = now.st_size,
                       .changed = now.st_ctim.tv_sec * ns + now.st_ctim.tv_nsec,
                       .written = now.st_mtim.tv_sec * ns + now.st_mtim.tv_nsec};
  }

  FileIdentity identity() const override { return identity_; }

  void close() override {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_;
  struct stat st_;  // as it was opened: what kind of file it is
  bool sized_;      // its size tells how many bytes it holds
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
  auto* const input = new (std::nothrow) FileInput(fd, st, file_system_of(fd, st));
  if (input == nullptr) {
    ::close(fd);
    return nullptr;
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

// The columns that an interruption overwrites, from the first; 0 when no line
// is shown. No line is ever wider than erasure_room.
volatile std::sig_atomic_t shown_columns = 0;
constexpr std::size_t erasure_room = 254;
// Whether the terminal takes escape sequences, as told when it was opened.
volatile std::sig_atomic_t escapes = 0;

// A terminal that is said to take no escape sequences, or nothing is said of
// at all, is written to with carriage returns and spaces only.
bool terminal_takes_escapes() {
  const char* const type = std::getenv("TERM");
  return type != nullptr && *type != '\0' && std::string_view(type) != "dumb";
}

// These two make only calls that are safe in a signal handler.
std::size_t terminal_columns() {
  struct winsize size {};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// A terminal that is not this process's own (standard error sent to another
// one) has no foreground to keep out of.
bool in_terminal_foreground() {
  const pid_t foreground = ::tcgetpgrp(STDERR_FILENO);
  return foreground < 0 || foreground == ::getpgrp();
}

// Only calls that are safe in a signal handler: the erasure, as wide as the
// line and as the terminal now allows, then the signal again as if nobody had
// caught it, so that the shell sees the usual status.
void erase_and_end(int signal) {
  std::size_t columns = static_cast<std::size_t>(shown_columns);
  if (columns > 0 && in_terminal_foreground()) {
    char erasure[erasure_room + 2];
    std::size_t size = 0;
    erasure[size++] = '\r';
    if (escapes != 0) {
      for (const char c : std::string_view("\033[J")) erasure[size++] = c;
    } else {
      const std::size_t width = terminal_columns();
      if (width > 0) columns = std::min(columns, width - 1);
      std::fill_n(erasure + size, columns, ' ');
      size += columns;
      erasure[size++] = '\r';
    }
    const ssize_t written = ::write(STDERR_FILENO, erasure, size);
    static_cast<void>(written);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

class StandardError final : public Terminal {
 public:
  StandardError() {
    shown_columns = 0;
    escapes = terminal_takes_escapes() ? 1 : 0;
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
  StandardError(const StandardError&) = delete;
  StandardError& operator=(const StandardError&) = delete;

  ~StandardError() override {
    shown_columns = 0;
    for (std::size_t i = 0; i < std::size(signals_); ++i)
      ::sigaction(signals_[i], &previous_[i], nullptr);
  }

  std::size_t columns() override { return terminal_columns(); }

  bool takes_escapes() override { return escapes != 0; }

  bool in_foreground() override { return in_terminal_foreground(); }

  bool write(std::string_view bytes) override {
    while (!bytes.empty()) {
      const ssize_t n = ::write(STDERR_FILENO, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  void shown(std::size_t columns) override {
    shown_columns = static_cast<std::sig_atomic_t>(std::min(columns, erasure_room));
  }

 private:
  static constexpr int signals_[] = {SIGINT, SIGTERM};
  struct sigaction previous_[std::size(signals_)]{};
};

std::optional<StandardError> standard_error;

}  // namespace

void CloseTerminal::operator()(Terminal*) const noexcept {
  standard_error.reset();
}

OpenTerminal open_terminal() {
  if (::isatty(STDERR_FILENO) == 0) return nullptr;
  return OpenTerminal(&standard_error.emplace());
}

}  // namespace platform
