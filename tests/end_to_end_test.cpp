// Runs the real program in a fresh temporary directory, one row per case, and
// checks the exact console bytes, the result file, the exit status, and that
// nothing else in the directory changed.
//
// Usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND... (see runner.h)
//   LIBRARY: the fail_read module. Rows marked smoke also run as their own
//   suite, Smoke, for an installed program: --gtest_filter='Smoke/*'.
#include <fcntl.h>
#include <linux/magic.h>
#include <pty.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "dialogue.h"
#include "runner.h"
#include "temp_dir.h"
#include "test_names.h"

namespace {

namespace fs = std::filesystem;

const RunnerOptions& options = runner_options();

// --- fixtures -------------------------------------------------------------

struct Fixture {
  enum Kind {
    file,
    sparse,
    directory,
    shared_directory,
    symlink,
    hardlink,
    fifo,
    reader,
    idle_fifo
  };
  Kind kind = file;
  std::string name{};
  std::string bytes{};    // file, fifo: the content; symlink, hardlink: the target
  std::int64_t size = 0;  // sparse: the length, all hole
  std::vector<std::pair<std::int64_t, char>> writes{};  // sparse: bytes put into the hole
  bool leaves = false;  // reader: goes once the program has opened the FIFO for writing
  bool nobody = false;  // owned by the user nobody instead of the caller (needs root)
};

Fixture file(std::string name, std::string bytes) {
  return {.kind = Fixture::file, .name = std::move(name), .bytes = std::move(bytes)};
}
Fixture sparse(std::string name, std::int64_t size,
               std::vector<std::pair<std::int64_t, char>> writes = {}) {
  return {
      .kind = Fixture::sparse, .name = std::move(name), .size = size, .writes = std::move(writes)};
}
Fixture hardlink_to(std::string name, std::string target) {
  return {.kind = Fixture::hardlink, .name = std::move(name), .bytes = std::move(target)};
}
// A FIFO that the test feeds with the bytes once the program opens it.
Fixture fifo(std::string name, std::string bytes) {
  return {.kind = Fixture::fifo, .name = std::move(name), .bytes = std::move(bytes)};
}
Fixture directory(std::string name) {
  return {.kind = Fixture::directory, .name = std::move(name)};
}
// A directory that anyone may write to and whose entries only their owners may
// remove, as /tmp is.
Fixture shared_directory(std::string name) {
  return {.kind = Fixture::shared_directory, .name = std::move(name)};
}
Fixture symlink_to(std::string name, std::string target) {
  return {.kind = Fixture::symlink, .name = std::move(name), .bytes = std::move(target)};
}
// A FIFO that the test holds open for reading before the program starts and
// drains. One that leaves closes it as soon as the program has it open for
// writing, and only then do the FIFOs that the test feeds deliver their bytes.
Fixture reader(std::string name, bool leaves = false) {
  return {.kind = Fixture::reader, .name = std::move(name), .leaves = leaves};
}
// A FIFO that nobody opens.
Fixture idle_fifo(std::string name) {
  return {.kind = Fixture::idle_fifo, .name = std::move(name)};
}
Fixture owned_by_nobody(Fixture f) {
  f.nobody = true;
  return f;
}

uid_t nobody_uid() {
  const passwd* pw = ::getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 65534;
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void make(const fs::path& dir, const Fixture& f) {
  const fs::path path = dir / f.name;
  switch (f.kind) {
    case Fixture::file: {
      std::ofstream out(path, std::ios::binary);
      out.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
      out.close();
      ASSERT_FALSE(out.fail()) << path;
      break;
    }
    case Fixture::sparse: {
      std::ofstream(path, std::ios::binary).close();
      fs::resize_file(path, static_cast<std::uintmax_t>(f.size));
      std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
      for (const auto& [offset, byte] : f.writes) out.seekp(offset).put(byte);
      out.close();
      ASSERT_FALSE(out.fail()) << path;
      break;
    }
    case Fixture::directory:
      fs::create_directory(path);
      break;
    case Fixture::shared_directory:
      fs::create_directory(path);
      fs::permissions(path, fs::perms::all | fs::perms::sticky_bit, fs::perm_options::replace);
      break;
    case Fixture::symlink:
      fs::create_symlink(f.bytes, path);
      break;
    case Fixture::hardlink:
      fs::create_hard_link(dir / f.bytes, path);
      break;
    case Fixture::fifo:
    case Fixture::reader:
    case Fixture::idle_fifo:
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
      break;
  }
  if (f.nobody) {
    ASSERT_EQ(::lchown(path.c_str(), nobody_uid(), static_cast<gid_t>(-1)), 0) << path;
  }
}

// Writes the bytes into the FIFO once a reader has it open and the readers
// that leave have gone; gives up after a while, so that a program that never
// opens it cannot hang the test.
void feed(const fs::path& path, const std::string& bytes, std::shared_future<void> readers_gone) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // Wine may open a FIFO and close it again just before its real open: a
  // reader that leaves before the last byte may be followed at once by
  // another, which is given every byte from the first. A program that stops
  // reading early has none following it.
  for (bool done = false; !done;) {
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
      if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    readers_gone.wait_until(deadline);
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    done = written == bytes.size() || errno != EPIPE;
    ::close(fd);
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  }
}

// Reads the FIFO open at fd, without blocking, until the program has ended,
// or, when it leaves, until a writer has it open; then closes it and says so.
void drain(int fd, bool leaves, std::promise<void> gone, const std::atomic<bool>& ended) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) continue;
    // A FIFO without a writer reads as its end; with one, as not ready yet.
    if (leaves && n < 0 && errno == EAGAIN) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::close(fd);
  gone.set_value();
}

// What a directory holds, entry by entry: type, mode, owner, size and, for
// files up to 1 MiB, their bytes (shown when short, hashed otherwise); larger
// files by modification time.
using Snapshot = std::map<std::string, std::string>;

Snapshot snapshot(const fs::path& dir) {
  Snapshot s;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    const fs::path& path = entry.path();
    // The owner and the time to the nanosecond are beyond std::filesystem.
    struct stat st {};
    ::lstat(path.c_str(), &st);
    std::ostringstream what;
    what << "mode " << std::oct << st.st_mode << std::dec << " owner " << st.st_uid << " size "
         << st.st_size;
    if (S_ISREG(st.st_mode)) {
      if (st.st_size <= 64)
        what << " bytes " << testing::PrintToString(read_all(path));
      else if (st.st_size <= (1 << 20))
        what << " hash " << std::hash<std::string>{}(read_all(path));
      else
        what << " mtime " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
    } else if (S_ISLNK(st.st_mode)) {
      what << " -> " << fs::read_symlink(path).string();
    }
    s[path.filename().string()] = what.str();
  }
  return s;
}

// --- running the program ----------------------------------------------------

struct Finished {
  int status = -1000;  // the exit status as a POSIX parent sees it
  std::string out{}, err{};
  std::string unread{};  // what the program left of its standard input
};

// How the typed bytes reach the program: through a pipe, or as a file that
// is shared with the test, as `program < names` in a loop would share it; or
// standard input is a directory, whose reads fail.
enum class Input { pipe, file, directory };

// Where standard output goes: a file the test reads, one that fails, or a
// pipe left non-blocking and full, whose reader takes its bytes only after a
// while, and slowly; or a terminal, which takes each line as it is said.
enum class Output { file, full_device, closed, reader_gone, busy_pipe, terminal };

// A descriptor from which the program reads the typed bytes; -1 when none can be made.
int typed_input(const std::string& typed, Input how, const fs::path& scratch) {
  if (how == Input::directory) return ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY);
  if (how == Input::file) {
    const fs::path path = scratch / "stdin";
    std::ofstream(path, std::ios::binary) << typed;
    return ::open(path.c_str(), O_RDONLY);
  }
  // All of it goes in before the program starts; the table types far less
  // than a pipe holds.
  int in_pipe[2];
  if (typed.size() > 4096 || ::pipe(in_pipe) != 0) return -1;
  const bool written =
      ::write(in_pipe[1], typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
  ::close(in_pipe[1]);
  if (written) return in_pipe[0];
  ::close(in_pipe[0]);
  return -1;
}

// Whatever is left to read at fd.
std::string rest_of(int fd) {
  std::string rest;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    rest.append(buffer, static_cast<std::size_t>(n));
  return rest;
}

// A pipe set non-blocking and filled until it takes no byte more, as a reader
// that is busy elsewhere leaves it: its ends, and what went into it.
bool fill_busy_pipe(int (&ends)[2], std::string& filler) {
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
  const std::string block(4096, 'f');
  // Whole blocks first, then single bytes into whatever room is left.
  for (std::size_t size : {block.size(), std::size_t{1}}) {
    ssize_t n = 0;
    while ((n = ::write(ends[1], block.data(), size)) > 0)
      filler.append(block, 0, static_cast<std::size_t>(n));
  }
  return errno == EAGAIN;
}

// Everything that comes out of the pipe until its writers have gone, taken
// only after a while and then a little at a time.
std::string drain_slowly(int fd) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string got;
  char buffer[512];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    got.append(buffer, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::close(fd);
  return got;
}

// How a run is watched: the trace of the calls that show its steps goes to
// trace when it is not empty.
struct Watch {
  bool failing_reads = false;  // the fail_read module preloaded
  fs::path trace{};
  rlim_t data_limit = RLIM_INFINITY;     // the program's RLIMIT_DATA
  rlim_t address_limit = RLIM_INFINITY;  // its RLIMIT_AS
  bool one_processor = false;            // it may run on one processor only
};

// The tracer's words before the program's: the writes, closes and removals,
// each descriptor shown with the file it is open on. The settings go to the
// program alone: a module built for the program may not load into the tracer.
std::vector<std::string> tracer(const fs::path& trace, const std::vector<std::string>& settings) {
  std::vector<std::string> words = {
      "strace", "-f",           "-qq", "-y",
      "-o",     trace.string(), "-e",  "trace=openat,write,writev,close,unlink,unlinkat"};
  for (const std::string& setting : settings) words.insert(words.end(), {"-E", setting});
  words.push_back("--");
  return words;
}

// Runs the program once with in_fd as its standard input, which stays open.
Finished run_with(const fs::path& dir, int in_fd, Output output, const fs::path& scratch,
                  const Watch& watch = {}) {
  const fs::path out_path = scratch / "stdout", err_path = scratch / "stderr";
  // Everything the child needs is made before the fork: the feeding threads
  // may hold the allocator's lock at that moment.
  std::vector<std::string> settings;
  if (watch.failing_reads) settings.push_back("LD_PRELOAD=" + options.fail_read_library);
  // The sanitizers' leak check stops the program's threads by tracing them,
  // which a program already traced cannot be.
  if (!watch.trace.empty()) settings.push_back("ASAN_OPTIONS=detect_leaks=0");
  const Launch launch =
      watch.trace.empty() ? Launch(settings) : Launch({}, tracer(watch.trace, settings));
  // A pipe whose reader has gone before anything is written.
  int gone_pipe[2] = {-1, -1};
  if (output == Output::reader_gone) {
    if (::pipe(gone_pipe) != 0) return {};
    ::close(gone_pipe[0]);
  }
  int busy_pipe[2] = {-1, -1};
  std::string filler;
  if (output == Output::busy_pipe && !fill_busy_pipe(busy_pipe, filler)) return {};
  int terminal = -1, terminal_side = -1;
  if (output == Output::terminal &&
      ::openpty(&terminal, &terminal_side, nullptr, nullptr, nullptr) != 0)
    return {};

  // The first of the processors this process may use, or all of them.
  cpu_set_t processors;
  CPU_ZERO(&processors);
  ::sched_getaffinity(0, sizeof processors, &processors);
  if (watch.one_processor) {
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &processors)) continue;
      CPU_ZERO(&processors);
      CPU_SET(cpu, &processors);
      break;
    }
  }

  const pid_t pid = ::fork();
  if (pid == 0) {
    if (watch.one_processor && ::sched_setaffinity(0, sizeof processors, &processors) != 0)
      ::_exit(123);
    ::dup2(in_fd, 0);
    if (in_fd != 0) ::close(in_fd);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    switch (output) {
      case Output::file:
        ::dup2(out, 1);
        break;
      case Output::full_device:
        ::dup2(::open("/dev/full", O_WRONLY), 1);
        break;
      case Output::closed:
        ::close(1);
        break;
      case Output::reader_gone:
        ::dup2(gone_pipe[1], 1);
        break;
      case Output::busy_pipe:
        ::dup2(busy_pipe[1], 1);
        break;
      case Output::terminal:
        ::dup2(terminal_side, 1);
        break;
    }
    ::dup2(err, 2);
    for (int fd : {out, err, gone_pipe[1], terminal, terminal_side})
      if (fd > 2) ::close(fd);
    for (const auto& [resource, most] : {std::pair{int{RLIMIT_DATA}, watch.data_limit},
                                         std::pair{int{RLIMIT_AS}, watch.address_limit}}) {
      const rlimit limit{most, most};
      if (most != RLIM_INFINITY && ::setrlimit(resource, &limit) != 0) ::_exit(124);
    }
    launch.exec_in(dir.c_str());
  }
  if (gone_pipe[1] >= 0) ::close(gone_pipe[1]);
  std::future<std::string> drained;
  if (busy_pipe[1] >= 0) {
    ::close(busy_pipe[1]);
    drained = std::async(std::launch::async, drain_slowly, busy_pipe[0]);
  }
  if (terminal_side >= 0) ::close(terminal_side);
  if (terminal >= 0) ::fcntl(terminal, F_SETFL, O_NONBLOCK);

  Finished r;
  // What the terminal received; it ends in EIO once the program is gone.
  const auto take_terminal = [&] {
    char buffer[4096];
    ssize_t n = 0;
    while (terminal >= 0 && (n = ::read(terminal, buffer, sizeof buffer)) > 0)
      r.out.append(buffer, static_cast<std::size_t>(n));
  };
  int raw = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (::waitpid(pid, &raw, WNOHANG) == 0) {
    take_terminal();
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      ADD_FAILURE() << "the program did not end within its time";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.status = exit_status(raw);
  if (terminal >= 0) {
    take_terminal();
    ::close(terminal);
  } else {
    r.out = read_all(out_path);
  }
  r.err = read_all(err_path);
  if (drained.valid()) {
    // What the program wrote follows what filled the pipe.
    const std::string got = drained.get();
    r.out = got.starts_with(filler) ? got.substr(filler.size()) : "lost some of the filler";
  }
  return r;
}

Finished run_in(const fs::path& dir, const std::string& typed, Input input, Output output,
                const fs::path& scratch, const Watch& watch) {
  for (int attempt = 1;; ++attempt) {
    const int in_fd = typed_input(typed, input, scratch);
    if (in_fd < 0) {
      ADD_FAILURE() << "cannot give the program its standard input";
      return {};
    }
    Finished r = run_with(dir, in_fd, output, scratch, watch);
    r.unread = rest_of(in_fd);
    ::close(in_fd);
    // Wine has, once in some hundreds of runs, ended one with status 1 before
    // the program started: no prompt, nothing on standard error, no byte
    // read. Such a run is made once more; a fault of the program's would show
    // again.
    const bool never_started = options.windows_build && output == Output::file && r.status == 1 &&
                               r.out.empty() && r.err.empty() && r.unread == typed;
    if (!never_started || attempt == 2) return r;
  }
}

// The steps that the trace shows the program take after the prompt, in the
// words of dialogue.h: writes and closes of the result file and of any other
// file in dir (the input), the lines said, the result's removal (by its name,
// or through a descriptor of dir).
std::string steps_seen(const fs::path& trace, const fs::path& dir, const std::string& result) {
  const std::string in_dir = fs::canonical(dir).string() + "/";
  const std::string result_path = in_dir + result;
  std::ifstream in(trace);
  std::string steps, call;
  const auto add = [&steps](std::string_view step) {
    steps += (steps.empty() ? "" : ", ") + std::string(step);
  };
  // Descriptors that only mark a place on the way to the result (O_PATH):
  // their closes are no step.
  std::set<std::string> places;
  while (std::getline(in, call)) {
    // The call itself, after the process number that -f puts first.
    call.erase(0, call.find_first_not_of("0123456789 "));
    if (call.starts_with("openat(")) {
      const std::size_t equals = call.rfind(") = ");
      if (call.find("O_PATH") != std::string::npos && equals != std::string::npos)
        places.insert(call.substr(equals + 4, call.find('<', equals) - equals - 4));
      continue;
    }
    if (call.starts_with("close(")) {
      const std::string fd = call.substr(6, call.find('<') - 6);
      if (places.erase(fd) > 0) continue;
    }
    const auto on = [&call](std::string_view name, std::string_view file) {
      return call.starts_with(name) &&
             call.find(std::string("<") + std::string(file)) != std::string::npos;
    };
    if (call.starts_with("write(1<") || call.starts_with("writev(1<")) {
      if (call.find(std::string(prompt)) == std::string::npos) add("say");
    } else if (on("write(", result_path + ">")) {
      add("store");
    } else if (on("close(", result_path + ">")) {
      add("close result");
    } else if (on("close(", in_dir)) {
      add("close input");
    } else if (call.starts_with("unlink(\"" + result + "\"") ||
               call.starts_with("unlinkat(AT_FDCWD, \"" + result + "\"") ||
               (call.starts_with("unlinkat(") &&
                call.find("<" + fs::canonical(dir).string() + ">, \"" + result + "\"") !=
                    std::string::npos)) {
      add("remove result");
    }
  }
  return steps;
}

// --- the table --------------------------------------------------------------

enum class Platform { any, linux_only, windows_only };

// A working directory that anyone may write to and whose entries only their
// owners may remove, as /tmp is; owned by the caller or by nobody.
enum class Sticky { none, callers, nobodys };

// What a sysfs attribute delivers, though sysfs reports more.
enum class Sysfs { none, nothing, text };

struct Row {
  std::string name{};
  std::string typed{};  // the bytes on standard input
  std::vector<Fixture> fixtures{};
  Ending ending = found;
  // Where the verdict is left, if anywhere; endings without one leave none.
  std::optional<std::string> result = "test.fzz";
  std::optional<int> status{};  // when it is not the ending's own
  // The line on standard error, without its line end, that every failure
  // ending writes to say why; nothing for the other endings.
  std::string err{};
  Platform only = Platform::any;
  bool read_only_dir = false;         // the working directory cannot be written to
  bool failing_reads = false;         // reads from files named "...unreadable" fail,
                                      // "...unseekable" ones cannot seek, and memory runs
                                      // out after a "...short" one is open (fail_read.cpp)
  rlim_t data_limit = RLIM_INFINITY;  // the program's memory, as `ulimit -d` limits it
  bool one_processor = false;         // the program may run on one processor only
  Input input = Input::pipe;
  Output output = Output::file;  // the console bytes are seen on a file and a busy pipe
  Sticky sticky = Sticky::none;
  // The kernel's own rule for links in shared directories (fs.protected_symlinks)
  // is off while it runs, so that the program's rule is seen on its own.
  bool kernel_links_unprotected = false;
  // The typed name is a sysfs attribute that the caller can read, found when
  // the row runs; skipped where there is none.
  Sysfs sysfs = Sysfs::none;
  // Entries that the run changes on purpose: their bytes after it, none when removed.
  std::map<std::string, std::optional<std::string>> changed{};
  // Linux: run under strace with standard output a terminal, so that each line
  // goes out when it is said, and the ending's order of steps checked.
  bool traced = false;
  bool smoke = false;  // also one of the few rows run against an installed program
};

constexpr std::int64_t GiB = std::int64_t{1} << 30;

std::string zeros(std::size_t n) {
  return std::string(n, '\0');
}

// What the file holds decides the verdict, whatever its size.
void content_rows(std::vector<Row>& t) {
  t.push_back({.name = "ZeroLengthInputIsVacant",
               .typed = "empty.bin\n",
               .fixtures = {file("empty.bin", "")},
               .ending = vacant,
               .smoke = true});
  t.push_back({.name = "NonZeroByteFound",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", zeros(11) + "A" + std::string(2988, 'x'))},
               .ending = found,
               .smoke = true});
  t.push_back({.name = "ZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(4096))},
               .ending = zeros_only,
               .smoke = true});
  t.push_back({.name = "OnlyTheLastByteNonZero",
               .typed = "last.bin\n",
               .fixtures = {file("last.bin", zeros(4095) + "\x01")},
               .ending = found});
  t.push_back({.name = "OneZeroByte",
               .typed = "z\n",
               .fixtures = {file("z", zeros(1))},
               .ending = zeros_only});
  // Bytes that a file read in text mode would turn into a line end or an end of file.
  t.push_back({.name = "CarriageReturnAmongZeros",
               .typed = "cr.bin\n",
               .fixtures = {file("cr.bin", zeros(100) + "\r" + zeros(100))},
               .ending = found});
  t.push_back({.name = "CtrlZAmongZeros",
               .typed = "sub.bin\n",
               .fixtures = {file("sub.bin", zeros(100) + "\x1a" + zeros(100))},
               .ending = found});
  t.push_back({.name = "FourGiBOfZerosIsNotVacant",
               .typed = "big\n",
               .fixtures = {sparse("big", 4 * GiB)},
               .ending = zeros_only});
  t.push_back({.name = "TwoGiBWithLastByteNonZero",
               .typed = "big\n",
               .fixtures = {sparse("big", 2 * GiB, {{2 * GiB - 1, 'x'}})},
               .ending = found});
  t.push_back({.name = "FiveGiBWithLastByteNonZero",
               .typed = "big\n",
               .fixtures = {sparse("big", 5 * GiB, {{5 * GiB - 1, 'x'}})},
               .ending = found});
  // A file long enough for several readers, where only one processor may run
  // the program: one reader reads it all.
  t.push_back({.name = "OneProcessorZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(24 << 20))},
               .ending = zeros_only,
               .one_processor = true});
  t.push_back({.name = "OneProcessorLastByteNonZero",
               .typed = "last.bin\n",
               .fixtures = {file("last.bin", zeros((24 << 20) - 1) + "\x01")},
               .ending = found,
               .one_processor = true});
}

// Inputs that are no plain file, or none at all.
void unusual_input_rows(std::vector<Row>& t) {
  t.push_back({.name = "MissingFile",
               .typed = "missing.bin\n",
               .ending = open_error,
               .err = "content_check: missing.bin: No such file or directory",
               .smoke = true});
  t.push_back({.name = "EmptyLine",
               .typed = "\n",
               .ending = open_error,
               .err = "content_check: : No such file or directory"});
  t.push_back({.name = "NoInputAtAll",
               .typed = "",
               .ending = open_error,
               .err = "content_check: : No such file or directory"});
  t.push_back({.name = "DirectoryIsNoInput",
               .typed = "adir\n",
               .fixtures = {directory("adir")},
               .ending = open_error,
               .err = "content_check: adir: Is a directory"});
  t.push_back({.name = "SymbolicLinkIsFollowed",
               .typed = "link\n",
               .fixtures = {file("data.bin", "\x01"), symlink_to("link", "data.bin")},
               .ending = found});
  // Inputs without a length are read to the end of their data.
  t.push_back({.name = "FifoOfZeros",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(300000))},
               .ending = zeros_only});
  t.push_back({.name = "FifoWithANonZeroByte",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(200000) + "z")},
               .ending = found});
  t.push_back({.name = "EmptyFifoIsVacant",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", "")},
               .ending = vacant});
  t.push_back({.name = "RandomDevice", .typed = "/dev/urandom\n", .ending = found});
  t.push_back({.name = "NullDeviceIsVacant", .typed = "/dev/null\n", .ending = vacant});
  // A length of 0 is confirmed by a read: files in /proc report it over text.
  t.push_back({.name = "ProcFileOfLengthZeroHoldsText",
               .typed = "/proc/version\n",
               .ending = found,
               .only = Platform::linux_only});
  // sysfs reports 4096 bytes for every attribute, whatever it delivers: its
  // files, like those of the kernel's other file systems, are read to the end
  // of their data.
  t.push_back({.name = "SysfsAttributeThatDeliversNothingIsVacant",
               .ending = vacant,
               .only = Platform::linux_only,
               .sysfs = Sysfs::nothing});
  t.push_back({.name = "SysfsAttributeWithText",
               .ending = found,
               .only = Platform::linux_only,
               .sysfs = Sysfs::text});
}

// How the typed line becomes the name.
void name_rows(std::vector<Row>& t) {
  t.push_back({.name = "LeadingSpacesStayInTheName",
               .typed = "  spaced\n",
               .fixtures = {file("  spaced", "\x05"), file("spaced", zeros(3))},
               .ending = found});
  t.push_back({.name = "TabEndsTheName",
               .typed = "tabbed\tignored\n",
               .fixtures = {file("tabbed", "\x07")},
               .ending = found});
  t.push_back({.name = "CarriageReturnEndsTheName",
               .typed = "crlf.bin\r\n",
               .fixtures = {file("crlf.bin", zeros(5))},
               .ending = zeros_only});
  // Windows takes the typed bytes in its ANSI code page, not as UTF-8.
  t.push_back({.name = "HighBytesInTheName",
               .typed = "caf\xc3\xa9\n",
               .fixtures = {file("caf\xc3\xa9", "\x01")},
               .ending = found,
               .only = Platform::linux_only});
  t.push_back({.name = "UpperCaseNameIsAnotherFileOnLinux",
               .typed = "TEST.FZZ\n",
               .fixtures = {file("TEST.FZZ", "\x01"), file("test.fzz", "\x02")},
               .ending = found,
               .only = Platform::linux_only});
}

// How much of standard input is taken, from a pipe and from a file shared
// with whoever reads on: exactly one line, of which the name is the first 127
// bytes.
void line_rows(std::vector<Row>& t) {
  const std::string long_name(127, 'n');
  for (const auto& [input, from] :
       {std::pair{Input::pipe, "Pipe"}, std::pair{Input::file, "File"}}) {
    t.push_back({.name = std::string("OnlyTheFirstLineIsReadFrom") + from,
                 .typed = "first\nsecond\n",
                 .fixtures = {file("first", zeros(2)), file("second", "\x01")},
                 .ending = zeros_only,
                 .input = input});
    t.push_back({.name = std::string("LongLineKeepsItsFirst127CharactersFrom") + from,
                 .typed = long_name + std::string(73, 'm') + "\nnext\n",
                 .fixtures = {file(long_name, "\x01")},
                 .ending = found,
                 .input = input});
    t.push_back({.name = std::string("LineWithoutNewlineFrom") + from,
                 .typed = "nonl.bin",
                 .fixtures = {file("nonl.bin", zeros(5))},
                 .ending = zeros_only,
                 .input = input});
  }
  // A missing name says when it was cut; one that fits says nothing of it.
  t.push_back({.name = "CutNameSaysSo",
               .typed = long_name + "m\n",
               .ending = open_error,
               .err = "content_check: " + long_name +
                      ": No such file or directory (name longer than 127 bytes, cut there)"});
  t.push_back({.name = "NameOfTheLongestLengthIsNotCut",
               .typed = long_name + "\tm\n",
               .ending = open_error,
               .err = "content_check: " + long_name + ": No such file or directory"});
  // Reading fails for another reason than "not yet": the name is empty.
  t.push_back({.name = "StandardInputADirectoryGivesAnEmptyName",
               .ending = open_error,
               .err = "content_check: : No such file or directory",
               .only = Platform::linux_only,
               .input = Input::directory});
}

// Where the verdict goes: never into the input itself, whatever name leads to it.
void result_name_rows(std::vector<Row>& t) {
  t.push_back({.name = "ExistingResultFileReplacedByOneByte",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("test.fzz", std::string(5000, 'r'))},
               .ending = found});
  t.push_back({.name = "ExistingEmptyResultFileGetsOneByte",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(9)), file("test.fzz", "")},
               .ending = zeros_only});
  t.push_back({.name = "EarlierResultExaminedIntoTest2",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", "\x01")},
               .ending = found,
               .result = "test2.fzz",
               .smoke = true});
  t.push_back({.name = "EarlierZeroResultExaminedIntoTest2",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", zeros(1))},
               .ending = zeros_only,
               .result = "test2.fzz"});
  t.push_back({.name = "NameEndingInTestFzzUsesTest2",
               .typed = "mytest.fzz\n",
               .fixtures = {file("mytest.fzz", "")},
               .ending = vacant,
               .result = "test2.fzz"});
  t.push_back({.name = "Test2AsInputResultsInTestFzz",
               .typed = "test2.fzz\n",
               .fixtures = {file("test2.fzz", "\x01")},
               .ending = found,
               .result = "test.fzz"});
  t.push_back({.name = "SymbolicLinkToResultNameSendsVerdictToTest2",
               .typed = "link\n",
               .fixtures = {file("test.fzz", "\x01\x02"), symlink_to("link", "test.fzz")},
               .ending = found,
               .result = "test2.fzz"});
  t.push_back({.name = "HardLinkToResultNameSendsVerdictToTest2",
               .typed = "link\n",
               .fixtures = {file("test.fzz", zeros(7)), hardlink_to("link", "test.fzz")},
               .ending = zeros_only,
               .result = "test2.fzz"});
  t.push_back({.name = "Test2LinkedToTheInputSendsVerdictToTestFzz",
               .typed = "mytest.fzz\n",
               .fixtures = {file("mytest.fzz", "\x05"), hardlink_to("test2.fzz", "mytest.fzz")},
               .ending = found,
               .result = "test.fzz"});
  t.push_back(
      {.name = "BothResultNamesAreTheInput",
       .typed = "test.fzz\n",
       .fixtures = {file("test.fzz", "\x05"), symlink_to("test2.fzz", "test.fzz")},
       .ending = result_error,
       .err =
           "content_check: test.fzz: both result names lead to the input, which is never written"});
  t.push_back({.name = "ResultNameIsADirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), directory("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: Is a directory",
               .smoke = true});
  t.push_back({.name = "DirectoryNotWritable",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = result_error,
               .err = "content_check: test.fzz: Permission denied",
               .read_only_dir = true});
  // Names that Windows takes for another: the file examined is never the one written.
  t.push_back({.name = "UpperCaseNameOfAnEarlierResult",
               .typed = "TEST.FZZ\n",
               .fixtures = {file("test.fzz", "\x01")},
               .ending = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "TrailingSpaceAfterAnEarlierResult",
               .typed = "test.fzz \n",
               .fixtures = {file("test.fzz", "\x01")},
               .ending = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "TrailingDotAfterAnEarlierResult",
               .typed = "test.fzz.\n",
               .fixtures = {file("test.fzz", zeros(2))},
               .ending = zeros_only,
               .result = "test2.fzz",
               .only = Platform::windows_only});
}

// A verdict that cannot be stored is never reported as success. Wine reports
// writes into a FIFO whose reader has gone as done, so only Linux shows those.
void lost_verdict_rows(std::vector<Row>& t) {
  struct Kind {
    const char* name;
    Ending ending;
    std::string bytes;  // the input's
  };
  for (const Kind& k : {Kind{"Vacant", vacant, ""}, Kind{"Found", found, zeros(5000) + "\x01"},
                        Kind{"ZerosOnly", zeros_only, zeros(5000)}}) {
    t.push_back({.name = std::string("VerdictLostOnFullDevice") + k.name,
                 .typed = "in\n",
                 .fixtures = {file("in", k.bytes), symlink_to("test.fzz", "/dev/full")},
                 .ending = k.ending,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .smoke = k.ending.line == found.line});
    // The reader of the result FIFO goes before the verdict comes: the run
    // still ends with its line instead of dying of SIGPIPE.
    t.push_back({.name = std::string("ResultFifoWhoseReaderLeaves") + k.name,
                 .typed = "pipe\n",
                 .fixtures = {fifo("pipe", k.bytes), reader("test.fzz", true)},
                 .ending = k.ending,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .only = Platform::linux_only});
  }
}

// Standard output that fails: the verdict is stored all the same, and the
// status says that nobody saw the ending's line, unless it already says worse.
void failing_output_rows(std::vector<Row>& t) {
  for (const auto& [output, name] :
       {std::pair{Output::full_device, "FullDevice"}, std::pair{Output::closed, "Closed"},
        std::pair{Output::reader_gone, "PipeWithoutReader"}}) {
    const std::string to = std::string("OutputTo") + name;
    t.push_back({.name = to + "Found",
                 .typed = "data.bin\n",
                 .fixtures = {file("data.bin", "\x01")},
                 .ending = found,
                 .status = status_output_lost,
                 .output = output,
                 .smoke = output == Output::closed});
    t.push_back({.name = to + "ZerosOnly",
                 .typed = "zeros.bin\n",
                 .fixtures = {file("zeros.bin", zeros(3))},
                 .ending = zeros_only,
                 .status = status_output_lost,
                 .output = output});
    t.push_back({.name = to + "Vacant",
                 .typed = "empty\n",
                 .fixtures = {file("empty", "")},
                 .ending = vacant,
                 .status = status_output_lost,
                 .output = output});
    t.push_back({.name = to + "KeepsOpenErrorStatus",
                 .typed = "missing\n",
                 .ending = open_error,
                 .err = "content_check: missing: No such file or directory",
                 .output = output});
    t.push_back({.name = to + "KeepsVerdictLostStatus",
                 .typed = "data.bin\n",
                 .fixtures = {file("data.bin", "\x01"), symlink_to("test.fzz", "/dev/full")},
                 .ending = found,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .output = output});
  }
}

// Standard output left non-blocking by whoever shares it, and full for now
// while its reader is busy: the lines wait for room instead of being lost.
void busy_output_rows(std::vector<Row>& t) {
  t.push_back({.name = "BusyOutputGetsEveryLineFound",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = found,
               .only = Platform::any,
               .output = Output::busy_pipe});
  t.push_back({.name = "BusyOutputGetsEveryLineZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(3))},
               .ending = zeros_only,
               .only = Platform::any,
               .output = Output::busy_pipe});
  t.push_back({.name = "BusyOutputGetsEveryLineVacant",
               .typed = "empty\n",
               .fixtures = {file("empty", "")},
               .ending = vacant,
               .only = Platform::any,
               .output = Output::busy_pipe});
  t.push_back({.name = "BusyOutputGetsEveryLineOpenError",
               .typed = "missing\n",
               .ending = open_error,
               .err = "content_check: missing: No such file or directory",
               .only = Platform::any,
               .output = Output::busy_pipe});
}

// A read that fails is no answer: no result file is left claiming one. Only
// the plain file that was created for the verdict is removed; whatever else
// the result name is stays.
void read_error_rows(std::vector<Row>& t) {
  t.push_back({.name = "ReadErrorLeavesNoResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000))},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "ReadErrorRemovesAnEarlierResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), file("test.fzz", "old")},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"test.fzz", std::nullopt}}});
  // The file it leads to was cut when it was opened for the verdict.
  t.push_back({.name = "ReadErrorLeavesAResultLinkInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), file("kept", "old"),
                            symlink_to("test.fzz", "kept")},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"kept", ""}}});
  t.push_back({.name = "ReadErrorLeavesAResultFifoInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), reader("test.fzz")},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
  // Streams, read on from their position, fail as well.
  t.push_back({.name = "ReadErrorOnAFifo",
               .typed = "zeros.unreadable\n",
               .fixtures = {fifo("zeros.unreadable", zeros(1000))},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
  // The program's own memory read from its first address, which is never mapped.
  t.push_back({.name = "ReadErrorOnProcessMemory",
               .typed = "/proc/self/mem\n",
               .ending = read_error,
               .err = "content_check: /proc/self/mem: Input/output error",
               .only = Platform::linux_only});
  // A plain file with a size that cannot seek, as a FUSE file opened as a
  // stream: no read at an offset is to be had, but it reads on as a pipe does.
  t.push_back({.name = "FileThatCannotSeekIsReadOn",
               .typed = "data.unseekable\n",
               .fixtures = {file("data.unseekable", zeros(3000) + "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "FileThatCannotSeekOfZeros",
               .typed = "zeros.unseekable\n",
               .fixtures = {file("zeros.unseekable", zeros(3 << 20))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .failing_reads = true});
}

// Memory so short that the scan's usual buffer and threads cannot be had: the
// answer is the same, and an earlier result is replaced, not left cut.
void memory_limit_rows(std::vector<Row>& t) {
  constexpr rlim_t four_MiB = rlim_t{4} << 20;
  t.push_back({.name = "ShortOfMemoryEmpty",
               .typed = "empty.bin\n",
               .fixtures = {file("empty.bin", ""), file("test.fzz", "old")},
               .ending = vacant,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  t.push_back({.name = "ShortOfMemoryZeros",
               .typed = "big\n",
               .fixtures = {file("big", zeros(20 << 20))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  t.push_back({.name = "ShortOfMemoryFound",
               .typed = "big\n",
               .fixtures = {file("big", zeros(20 << 20) + "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  // Memory that runs out once the input is open, as the result file is set
  // up: no result is made, and whatever the result name leads to stays as it was.
  t.push_back({.name = "NoMemoryForTheResultLeavesNoResultFile",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000))},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "NoMemoryForTheResultLeavesAnEarlierResultAsItWas",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000)), file("test.fzz", "old")},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "NoMemoryForTheResultThroughALink",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000)), file("kept", "old"),
                            symlink_to("test.fzz", "kept")},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "NoMemoryForTheResultThroughADanglingLink",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000)), directory("sub"),
                            symlink_to("test.fzz", "sub/made")},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"sub/made", std::nullopt}}});
}

// Entries that another user planted in a shared directory are not written through.
void planted_entry_rows(std::vector<Row>& t) {
  t.push_back({.name = "PlantedLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                            owned_by_nobody(symlink_to("test.fzz", "victim"))},
               .ending = result_error,
               .err = "content_check: test.fzz: link in a shared directory owned by another user, "
                      "not followed",
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back(
      {.name = "PlantedDanglingLinkInStickyDirectoryIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), owned_by_nobody(symlink_to("test.fzz", "created"))},
       .ending = result_error,
       .err = "content_check: test.fzz: link in a shared directory owned by another user, not "
              "followed",
       .only = Platform::linux_only,
       .sticky = Sticky::callers});
  t.push_back(
      {.name = "OthersFileInStickyDirectoryIsNotOpened",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
       .ending = result_error,
       .err =
           "content_check: test.fzz: file in a shared directory owned by another user, not opened",
       .only = Platform::linux_only,
       .sticky = Sticky::callers});
  t.push_back(
      {.name = "OwnLinkInStickyDirectoryIsFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("mine", "old"), symlink_to("test.fzz", "mine")},
       .ending = found,
       .result = std::nullopt,
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "DirectoryOwnersLinkInStickyDirectoryIsFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("mine", "old"),
                            owned_by_nobody(symlink_to("test.fzz", "mine"))},
               .ending = found,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys,
               .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "OthersFileInStickyDirectoryOfTheirsIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .ending = found,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys});
  // Every link on the way is judged by the directory it lies in, not only the
  // first: another user's link may wait behind the caller's own.
  t.push_back({.name = "PlantedSecondLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                            symlink_to("test.fzz", "results.bin"),
                            owned_by_nobody(symlink_to("results.bin", "victim"))},
               .ending = result_error,
               .err = "content_check: test.fzz: link in a shared directory owned by another user, "
                      "not followed",
               .only = Platform::linux_only,
               .sticky = Sticky::callers,
               .kernel_links_unprotected = true});
  t.push_back(
      {.name = "PlantedLinkAmongTheTargetsDirectoriesIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                    symlink_to("test.fzz", "via/victim"), owned_by_nobody(symlink_to("via", "."))},
       .ending = result_error,
       .err = "content_check: test.fzz: link in a shared directory owned by another user, not "
              "followed",
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .kernel_links_unprotected = true});
  t.push_back(
      {.name = "PlantedLinkInASharedSubdirectoryIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("victim", "keep"), shared_directory("shared"),
                    owned_by_nobody(symlink_to("shared/results.bin", "../victim")),
                    symlink_to("test.fzz", "shared/results.bin")},
       .ending = result_error,
       .err = "content_check: test.fzz: link in a shared directory owned by another user, not "
              "followed",
       .only = Platform::linux_only,
       .kernel_links_unprotected = true});
  t.push_back(
      {.name = "ChainOfOwnLinksInStickyDirectoryIsFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("mine", "old"),
                    symlink_to("test.fzz", "results.bin"), symlink_to("results.bin", "mine")},
       .ending = found,
       .result = std::nullopt,
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .kernel_links_unprotected = true,
       .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "OthersLinkInAPlainSubdirectoryIsFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("mine", "old"), directory("plain"),
                            owned_by_nobody(symlink_to("plain/results.bin", "../mine")),
                            symlink_to("test.fzz", "plain/results.bin")},
               .ending = found,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::callers,
               .kernel_links_unprotected = true,
               .changed = {{"mine", "\x01"}}});
  // The everyday run in /tmp: no entry of the name there yet.
  t.push_back({.name = "ResultCreatedInOwnStickyDirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "ResultCreatedInOthersStickyDirectory",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(3))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys});
  // An entry of one's own there that takes no verdict: refused at once, not waited on.
  t.push_back({.name = "DirectoryOfTheResultNameInStickyDirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), directory("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: Is a directory",
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "FifoWithoutReaderInStickyDirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), idle_fifo("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: No such device or address",
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "OthersFileElsewhereIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .ending = found,
               .only = Platform::linux_only});
}

// Each ending's steps in their order, as a tracer sees them.
void step_order_rows(std::vector<Row>& t) {
  t.push_back({.name = "StepsOfOpenError",
               .typed = "missing\n",
               .ending = open_error,
               .err = "content_check: missing: No such file or directory",
               .traced = true});
  t.push_back({.name = "StepsOfResultError",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), directory("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: Is a directory",
               .traced = true});
  t.push_back({.name = "StepsOfVacant",
               .typed = "empty.bin\n",
               .fixtures = {file("empty.bin", "")},
               .ending = vacant,
               .traced = true});
  t.push_back({.name = "StepsOfFound",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = found,
               .traced = true});
  t.push_back({.name = "StepsOfZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(3))},
               .ending = zeros_only,
               .traced = true});
  t.push_back({.name = "StepsOfReadError",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000))},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true,
               .traced = true});
}

std::vector<Row> rows() {
  std::vector<Row> t;
  content_rows(t);
  unusual_input_rows(t);
  name_rows(t);
  line_rows(t);
  result_name_rows(t);
  lost_verdict_rows(t);
  failing_output_rows(t);
  busy_output_rows(t);
  read_error_rows(t);
  memory_limit_rows(t);
  planted_entry_rows(t);
  step_order_rows(t);
  return t;
}

// Turns the kernel's rule for links in shared directories off while it lives,
// and back as it was when it goes. With the rule on, the kernel refuses such a
// link itself and would hide a program that follows it. Whoever else runs such
// rows at the same time waits, so that nobody restores another's setting.
class KernelLinkRuleOff {
 public:
  KernelLinkRuleOff() {
    const fs::path lock = fs::temp_directory_path() / "content_check-protected_symlinks.lock";
    lock_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0) return;
    saved_ = read_all(setting);
    off_ = !saved_.empty() && (saved_ == "0\n" || put("0\n"));
  }
  KernelLinkRuleOff(const KernelLinkRuleOff&) = delete;
  KernelLinkRuleOff& operator=(const KernelLinkRuleOff&) = delete;
  ~KernelLinkRuleOff() {
    if (off_ && saved_ != "0\n" && !put(saved_))
      ADD_FAILURE() << "could not put " << setting << " back to " << saved_;
    if (lock_ >= 0) ::close(lock_);
  }

  bool off() const { return off_; }

 private:
  static constexpr const char* setting = "/proc/sys/fs/protected_symlinks";
  static bool put(const std::string& value) {
    const int fd = ::open(setting, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written =
        ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    return ::close(fd) == 0 && written;
  }

  int lock_ = -1;
  std::string saved_;
  bool off_ = false;
};

// A sysfs attribute that the caller can read and that delivers nothing, or
// text, short of the size that sysfs reports for it; empty when there is none.
// Which attributes a user may read, and what they deliver, differs from one
// kernel and machine to the next. Only the kernel's own bookkeeping is read,
// never a device's: the uevents of the system's subsystems (empty where one
// has nothing to announce), the processors' lists and the interrupts' actions.
std::string sysfs_attribute(Sysfs wanted) {
  std::vector<fs::path> candidates;
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator("/sys/devices/system/cpu", error))
    candidates.push_back(entry.path());
  for (const char* place : {"/sys/devices/system", "/sys/kernel/irq"}) {
    for (const fs::directory_entry& entry : fs::directory_iterator(place, error)) {
      candidates.push_back(entry.path() / "uevent");
      candidates.push_back(entry.path() / "actions");
    }
  }
  std::sort(candidates.begin(), candidates.end());
  for (const fs::path& path : candidates) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    char buffer[4096];
    const bool file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t n = file ? ::read(fd, buffer, sizeof buffer) : -1;
    ::close(fd);
    if (n < 0 || st.st_size <= n) continue;
    if ((n == 0) == (wanted == Sysfs::nothing)) return path.string();
  }
  return {};
}

std::vector<Row> rows_marked(bool smoke) {
  std::vector<Row> t = rows();
  std::erase_if(t, [smoke](const Row& row) { return row.smoke != smoke; });
  return t;
}

using row_printing::PrintTo;

// Standard error as a row expects it: empty, or the one line of a failure
// ending. On Linux that line is the row's own, byte for byte. Under Wine the
// reason is the system's message, whose words vary with its version and
// language: there the line's name part, and a reason after it.
void expect_failure_line(const std::string& err, const std::string& expected) {
  if (expected.empty() || !options.windows_build) {
    EXPECT_EQ(err, expected.empty() ? "" : expected + "\n");
    return;
  }
  const std::size_t name_end = expected.find(": ", std::string_view("content_check: ").size());
  const std::string name_part = expected.substr(0, name_end + 2);
  EXPECT_TRUE(err.starts_with(name_part)) << err;
  EXPECT_TRUE(err.ends_with("\r\n")) << err;
  EXPECT_GT(err.size(), name_part.size() + 2) << "no reason: " << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

class InTempDir : public testing::Test {
 protected:
  // Makes the row's fixtures, runs the program once and checks everything it
  // shows: console bytes, status, result file, and every other entry as it was.
  void check(const Row& row) {
    if (row.only == (options.windows_build ? Platform::linux_only : Platform::windows_only))
      GTEST_SKIP() << "a case for the other platform";
    if (row.failing_reads && options.fail_read_library.empty())
      GTEST_SKIP() << "no --fail-read library given";
    if (row.read_only_dir && ::geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    const bool needs_root =
        row.sticky == Sticky::nobodys || std::any_of(row.fixtures.begin(), row.fixtures.end(),
                                                     [](const Fixture& f) { return f.nobody; });
    if (needs_root && ::geteuid() != 0) GTEST_SKIP() << "giving files to nobody needs root";
    if (row.sysfs != Sysfs::none) {
      Row on_this_machine = row;
      on_this_machine.typed = sysfs_attribute(row.sysfs);
      if (on_this_machine.typed.empty())
        GTEST_SKIP() << "no sysfs attribute here that this user can read delivers "
                     << (row.sysfs == Sysfs::nothing ? "nothing" : "text");
      SCOPED_TRACE(on_this_machine.typed);
      on_this_machine.typed += "\n";
      on_this_machine.sysfs = Sysfs::none;
      return check(on_this_machine);
    }
    // The setting is shared by every user of the machine, and so is the lock
    // that guards it.
    if (row.kernel_links_unprotected && ::geteuid() != 0)
      GTEST_SKIP() << "turning fs.protected_symlinks off needs root";
    std::optional<KernelLinkRuleOff> kernel_rule_off;
    if (row.kernel_links_unprotected && !kernel_rule_off.emplace().off())
      GTEST_SKIP() << "fs.protected_symlinks cannot be turned off here";
    if (row.data_limit != RLIM_INFINITY && run_in(dir_.path(), "", Input::pipe, Output::file,
                                                  scratch_.path(), {.data_limit = row.data_limit})
                                               .out.empty())
      GTEST_SKIP() << "the program cannot start under the limit (a sanitizer's shadow memory)";
    const fs::path& dir = dir_.path();
    for (const Fixture& f : row.fixtures) ASSERT_NO_FATAL_FAILURE(make(dir, f));
    Snapshot before = snapshot(dir);

    // Readers hold their FIFOs open before the program starts; the fed FIFOs
    // deliver once the reader that leaves, if any, has gone.
    std::atomic<bool> ended = false;
    std::vector<std::thread> helpers;
    std::promise<void> no_reader_leaves;
    no_reader_leaves.set_value();
    std::shared_future<void> readers_gone = no_reader_leaves.get_future().share();
    for (const Fixture& f : row.fixtures) {
      if (f.kind != Fixture::reader) continue;
      const int fd = ::open((dir / f.name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(fd, 0) << f.name;
      std::promise<void> gone;
      if (f.leaves) readers_gone = gone.get_future().share();
      helpers.emplace_back(drain, fd, f.leaves, std::move(gone), std::cref(ended));
    }
    for (const Fixture& f : row.fixtures)
      if (f.kind == Fixture::fifo) helpers.emplace_back(feed, dir / f.name, f.bytes, readers_gone);
    const fs::perms write =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (row.read_only_dir) fs::permissions(dir, write, fs::perm_options::remove);
    if (row.sticky != Sticky::none)
      fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit, fs::perm_options::replace);
    if (row.sticky == Sticky::nobodys) ::chown(dir.c_str(), nobody_uid(), static_cast<gid_t>(-1));
    // Wine is not traced: there the row checks all else.
    const bool traced = row.traced && !options.windows_build;
    const Watch watch{.failing_reads = row.failing_reads,
                      .trace = traced ? scratch_.path() / "trace" : fs::path(),
                      .data_limit = row.data_limit,
                      .one_processor = row.one_processor};
    const Output output = traced ? Output::terminal : row.output;
    const Finished run = run_in(dir, row.typed, row.input, output, scratch_.path(), watch);
    if (row.failing_reads && run.status == 77 && run.err.starts_with("fail_read: "))
      GTEST_SKIP() << run.err;
    ::chown(dir.c_str(), ::geteuid(), static_cast<gid_t>(-1));
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    ended = true;
    for (std::thread& t : helpers) t.join();

    // A terminal shows a line end as a carriage return and a newline.
    const std::string nl = options.windows_build || output == Output::terminal ? "\r\n" : "\n";
    if (output == Output::file || output == Output::busy_pipe || output == Output::terminal) {
      EXPECT_EQ(run.out, std::string(prompt) + nl + std::string(row.ending.line) + nl);
    }
    if (row.ending.status == 1 && row.err.empty())
      ADD_FAILURE() << "a failure ending's row without its line on standard error";
    expect_failure_line(run.err, row.err);
    EXPECT_EQ(run.status, row.status.value_or(row.ending.status) & 0xff);
    if (traced) {
      ASSERT_TRUE(fs::exists(scratch_.path() / "trace")) << "strace did not run; install it";
      EXPECT_EQ(steps_seen(scratch_.path() / "trace", dir, row.result.value_or("test.fzz")),
                row.ending.steps);
    }
    // The one line was taken through its newline, and nothing after it.
    const std::size_t newline = row.typed.find('\n');
    EXPECT_EQ(run.unread, newline == std::string::npos ? "" : row.typed.substr(newline + 1));

    Snapshot after = snapshot(dir);
    for (const auto& [name, bytes] : row.changed) {
      if (!bytes)
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name))) << name << " is still there";
      else
        EXPECT_EQ(read_all(dir / name), *bytes) << name;
      before.erase(name);
      after.erase(name);
    }
    if (row.result && row.ending.verdict != no_verdict) {
      ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(dir / *row.result)))
          << "no result file " << *row.result;
      EXPECT_EQ(read_all(dir / *row.result), std::string(1, static_cast<char>(row.ending.verdict)));
      before.erase(*row.result);
      after.erase(*row.result);
    }
    // Every input as it was, and nothing else created.
    EXPECT_EQ(after, before);
  }

  TempDir dir_{"run"};      // where the program runs
  TempDir scratch_{"out"};  // its standard input and output
};

class EndToEnd : public InTempDir, public testing::WithParamInterface<Row> {};

TEST_P(EndToEnd, Row) {
  check(GetParam());
}

const auto row_name = [](const testing::TestParamInfo<Row>& row) { return row.param.name; };
INSTANTIATE_TEST_SUITE_P(Smoke, EndToEnd, testing::ValuesIn(rows_marked(true)), row_name);
INSTANTIATE_TEST_SUITE_P(Table, EndToEnd, testing::ValuesIn(rows_marked(false)), row_name);

// A block device reports no file size; its length is the device's size.
class LoopDevice : public InTempDir {
 protected:
  void TearDown() override { detach(); }
  void detach() {
    if (!device_.empty()) ::system(("losetup -d " + device_).c_str());
    device_.clear();
  }
  // Attaches a file of the bytes as a loop device; empty when that cannot be done here.
  std::string attach(const std::string& bytes) {
    const fs::path image = scratch_.path() / "image";
    std::ofstream(image, std::ios::binary) << bytes;
    const std::string command = "losetup -f --show " + image.string() + " 2>/dev/null";
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
      char line[256] = {};
      if (std::fgets(line, sizeof line, p) != nullptr) device_ = line;
      ::pclose(p);
    }
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
    return device_;
  }
  std::string device_;
};

TEST_F(LoopDevice, IsReadToTheDevicesSize) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  for (const auto& [content, ending] :
       {std::pair{zeros(1 << 20), zeros_only}, std::pair{zeros((1 << 20) - 1) + "\x01", found}}) {
    if (attach(content).empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
    check({.name = "loop", .typed = device_ + "\n", .ending = ending});
    detach();
    fs::remove(dir_.path() / "test.fzz");
  }
}

// A second device node for the device being examined is that device too: the
// verdict goes to the other name, and the device keeps its bytes.
TEST_F(LoopDevice, SecondNodeOfTheDeviceIsNoResultFile) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  if (attach("\x05" + zeros((1 << 20) - 1)).empty())
    GTEST_SKIP() << "losetup cannot attach a loop device here";
  struct stat device {};
  ASSERT_EQ(::stat(device_.c_str(), &device), 0);
  const fs::path node = dir_.path() / "test.fzz";
  ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, device.st_rdev), 0);
  check({.name = "node", .typed = device_ + "\n", .ending = found, .result = "test2.fzz"});
  // Read back through the device, whose cache holds whatever was written into it.
  std::ifstream in(device_, std::ios::binary);
  char first = 0;
  in.read(&first, 1);
  EXPECT_EQ(first, '\x05');
}

// A file system with no room left: a tmpfs of four pages mounted over the
// working directory, which a row's fixtures fill.
class FullDisk : public InTempDir {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    const std::string mount_options = "size=" + std::to_string(4 * page()) + ",mode=0700";
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, mount_options.c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }

  static std::size_t page() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
  // Takes the three pages that a one-byte input leaves.
  static Fixture filler() { return file("fill", zeros(3 * page())); }

  bool mounted_ = false;
};

// Windows refuses even to cut a new file there: the file that the run created
// is taken away again. On Linux the verdict is lost at the close, and the
// empty file stays.
TEST_F(FullDisk, ResultFileCreatedForNothingIsNotLeftBehind) {
  const std::vector<Fixture> fixtures = {file("data.bin", "\x01"), filler()};
  if (options.windows_build)
    check({.name = "new",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = result_error,
           .err = "content_check: test.fzz: There is not enough space on the disk"});
  else
    check({.name = "new",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = found,
           .result = std::nullopt,
           .status = status_verdict_lost,
           .changed = {{"test.fzz", ""}}});
}

// A result file that was there before stays, whichever way the run fails.
TEST_F(FullDisk, EarlierResultFileIsLeftAsFound) {
  const std::vector<Fixture> fixtures = {file("data.bin", "\x01"), file("test.fzz", ""), filler()};
  if (options.windows_build)
    check({.name = "old",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = result_error,
           .err = "content_check: test.fzz: There is not enough space on the disk"});
  else
    check({.name = "old",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = found,
           .result = std::nullopt,
           .status = status_verdict_lost});
}

// Memory that runs out anywhere from the prompt to the scan, the limit raised
// a page at a time from where the program cannot even start to where it has
// its verdict: every run that asks for a name ends with one of its lines and
// nothing on standard error, and leaves a result file only with the verdict.
TEST_F(InTempDir, MemoryRunningOutBeforeTheScanEndsWithALine) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  struct Sweep {
    std::string name;
    bool address_space = false;  // RLIMIT_AS (ulimit -v) instead of RLIMIT_DATA (ulimit -d)
    rlim_t from_KiB = 0;         // low enough that the program cannot start
    std::string input{};
    Ending verdict = found;
  };
  const Sweep sweeps[] = {
      {.name = "data, zeros", .from_KiB = 64, .input = zeros(1 << 20), .verdict = zeros_only},
      {.name = "data, found", .from_KiB = 64, .input = zeros(1 << 16) + "\x01"},
      {.name = "data, empty", .from_KiB = 64, .input = "", .verdict = vacant},
      {.name = "address space, zeros",
       .address_space = true,
       .from_KiB = 1024,
       .input = zeros(1 << 20),
       .verdict = zeros_only},
      {.name = "address space, found",
       .address_space = true,
       .from_KiB = 1024,
       .input = zeros(1 << 16) + "\x01"},
  };
  // Once the verdict has come at this many limits in a row, memory no longer runs short.
  constexpr int verdicts_to_end = 16;
  const fs::path& dir = dir_.path();
  for (const Sweep& sweep : sweeps) {
    SCOPED_TRACE(sweep.name);
    ASSERT_NO_FATAL_FAILURE(make(dir, file("in", sweep.input)));
    const Snapshot before = snapshot(dir);
    const auto run_at = [&](rlim_t kib) {
      Watch watch;
      (sweep.address_space ? watch.address_limit : watch.data_limit) = kib << 10;
      return run_in(dir, "in\n", Input::pipe, Output::file, scratch_.path(), watch);
    };
    // Below some limit the loader cannot set the process up, and says so
    // itself. The first limit where the program asks is found in long steps,
    // and the sweep goes on from the step before, a page at a time.
    constexpr rlim_t long_step = 64;
    constexpr rlim_t widest = 64 << 10;
    rlim_t first_asked = sweep.from_KiB;
    while (first_asked < sweep.from_KiB + widest && run_at(first_asked).out.empty())
      first_asked += long_step;
    fs::remove(dir / "test.fzz");
    int asked = 0;        // runs that got as far as the prompt
    int short_of_it = 0;  // of those, runs that ended without the verdict
    int verdicts_in_a_row = 0;
    for (rlim_t kib = std::max(sweep.from_KiB, first_asked - long_step + 4);
         kib < first_asked + widest && verdicts_in_a_row < verdicts_to_end; kib += 4) {
      SCOPED_TRACE(std::to_string(kib) + " KiB");
      const Finished run = run_at(kib);
      if (run.out.empty() && run.status != 0) continue;
      ++asked;
      std::optional<Ending> ending;
      for (const Ending& e : {sweep.verdict, open_error, read_error, result_error})
        if (run.out == std::string(prompt) + "\n" + std::string(e.line) + "\n") ending = e;
      if (!ending) {
        ADD_FAILURE() << "no ending line: " << testing::PrintToString(run.out) << ", status "
                      << run.status << ", standard error " << testing::PrintToString(run.err);
        fs::remove(dir / "test.fzz");
        continue;
      }
      // A failure ending says why, in one line; the others say nothing there.
      if (ending->status == 1)
        EXPECT_TRUE(run.err.starts_with("content_check: ") &&
                    std::count(run.err.begin(), run.err.end(), '\n') == 1)
            << run.err;
      else
        EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, ending->status);
      if (ending->verdict != no_verdict)
        EXPECT_EQ(read_all(dir / "test.fzz"), std::string(1, static_cast<char>(ending->verdict)));
      else
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "test.fzz"))) << ending->line;
      fs::remove(dir / "test.fzz");
      EXPECT_EQ(snapshot(dir), before);
      const bool verdict = ending->line == sweep.verdict.line;
      verdicts_in_a_row = verdict ? verdicts_in_a_row + 1 : 0;
      if (!verdict) ++short_of_it;
    }
    // A program that cannot start under any of these limits (a sanitizer's
    // shadow memory) shows nothing here.
    if (asked == 0) GTEST_SKIP() << "the program cannot start under the limits";
    EXPECT_EQ(verdicts_in_a_row, verdicts_to_end) << "the verdict never came";
    EXPECT_GT(short_of_it, 0) << "memory never ran short after the prompt: start lower";
    fs::remove(dir / "in");
  }
}

// A writer that keeps cutting a file of zeros and growing it again, with zeros
// only, while the program reads it: a byte that did not come is no evidence,
// so whatever the program answers, it is never that it found one. On Linux
// the file is cut to nothing and grown to 1 MiB on a tmpfs, where this race
// was seen; the Windows build sees its file grown from 32 MiB to 64 MiB and
// cut back, never below its first size. Runs until the time or the runs run
// out, since the race is won only now and then.
TEST_F(InTempDir, FileOfZerosCutAndGrownWhileReadIsNeverFound) {
  constexpr std::int64_t MiB = std::int64_t{1} << 20;
  const bool windows = options.windows_build;
  const std::int64_t low = windows ? 32 * MiB : 0, high = windows ? 64 * MiB : MiB;
  fs::path where = dir_.path();
  std::optional<fs::path> mounted, made;
  const struct Undo {
    std::optional<fs::path>&mounted, &made;
    ~Undo() {
      if (mounted) ::umount2(mounted->c_str(), MNT_DETACH);
      std::error_code ignored;
      if (made) fs::remove_all(*made, ignored);
    }
  } undo{mounted, made};
  struct statfs fs_info {};
  const auto on_tmpfs = [&fs_info](const fs::path& p) {
    return ::statfs(p.c_str(), &fs_info) == 0 && fs_info.f_type == TMPFS_MAGIC;
  };
  if (!windows && !on_tmpfs(where)) {
    char shm[] = "/dev/shm/content_check-race-XXXXXX";
    if (::geteuid() == 0 && ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=8m,mode=0700") == 0) {
      mounted = where;
    } else if (on_tmpfs("/dev/shm") && ::mkdtemp(shm) != nullptr) {
      where = shm;
      made = where;
    } else {
      GTEST_SKIP() << "no tmpfs: none can be mounted without root, and /dev/shm is none";
    }
  }
  const fs::path zeros_file = where / "zeros";
  const int fd = ::open(zeros_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, windows ? low : high), 0);
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    while (!stop) {
      if (::ftruncate(fd, windows ? high : low) != 0 || ::ftruncate(fd, windows ? low : high) != 0)
        return;
    }
  });
  const std::string typed = (windows ? std::string("zeros") : zeros_file.string()) + "\n";
  const std::string nl = windows ? "\r\n" : "\n";
  std::map<std::string_view, int> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int run_count = 1; run_count <= 200 && std::chrono::steady_clock::now() < deadline;
       ++run_count) {
    const Finished run = run_in(dir_.path(), typed, Input::pipe, Output::file, scratch_.path(), {});
    const Ending* ending = nullptr;
    for (const Ending* e : {&zeros_only, &vacant, &read_error, &found})
      if (run.out == std::string(prompt) + nl + std::string(e->line) + nl) ending = e;
    if (ending == nullptr || ending == &found) {
      ADD_FAILURE() << "run " << run_count << " answered: " << run.out;
      break;
    }
    ++seen[ending->line];
    EXPECT_EQ(run.status, ending->status);
    std::error_code ignored;
    fs::remove(dir_.path() / "test.fzz", ignored);
  }
  stop = true;
  writer.join();
  ::close(fd);
  std::string tally;
  for (const auto& [line, count] : seen)
    tally += std::string(line) + ": " + std::to_string(count) + "; ";
  std::cout << "[          ] " << tally << "\n";
}

// Programs run one after another on one file of names take one line each,
// as `while read -r x; do content_check; done < names` or
// `{ content_check; content_check; } < names` do.
TEST_F(InTempDir, SharedFileOfNamesGivesEachRunItsOwnLine) {
  const std::string long_name(127, 'n');
  for (const Fixture& f : {file("first", "\x01"), file(long_name, zeros(3)), file("third", "")})
    ASSERT_NO_FATAL_FAILURE(make(dir_.path(), f));
  const fs::path names = scratch_.path() / "names";
  std::ofstream(names, std::ios::binary)
      << "first\n" + long_name + std::string(73, 'm') + "\n" + "third";
  const int in_fd = ::open(names.c_str(), O_RDONLY);
  ASSERT_GE(in_fd, 0);
  const std::string nl = options.windows_build ? "\r\n" : "\n";
  // The fourth run finds the file of names at its end: an empty name.
  for (const auto& [ending, err] :
       {std::pair{found, ""}, std::pair{zeros_only, ""}, std::pair{vacant, ""},
        std::pair{open_error, "content_check: : No such file or directory"}}) {
    const Finished run = run_with(dir_.path(), in_fd, Output::file, scratch_.path());
    EXPECT_EQ(run.out, std::string(prompt) + nl + std::string(ending.line) + nl);
    expect_failure_line(run.err, err);
    EXPECT_EQ(run.status, ending.status);
    if (ending.verdict != no_verdict) {
      EXPECT_EQ(read_all(dir_.path() / "test.fzz"),
                std::string(1, static_cast<char>(ending.verdict)))
          << ending.line;
    }
  }
  ::close(in_fd);
}

// Standard input left non-blocking by whoever shares it, with the name typed
// only after the program has asked for it: the name is waited for, not taken
// as empty.
TEST_F(InTempDir, NameTypedLateIntoNonBlockingInputIsWaitedFor) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  ASSERT_NO_FATAL_FAILURE(make(dir_.path(), file("data.bin", "\x01")));
  int typed[2];
  ASSERT_EQ(::pipe2(typed, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(typed[0], F_SETFL, ::fcntl(typed[0], F_GETFL) | O_NONBLOCK), 0);
  std::thread typist([fd = typed[1]] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string line = "data.bin\n";
    EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(fd);
  });
  const Finished run = run_with(dir_.path(), typed[0], Output::file, scratch_.path());
  typist.join();
  ::close(typed[0]);
  EXPECT_EQ(run.out, std::string(prompt) + "\n" + std::string(found.line) + "\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, found.status);
  EXPECT_EQ(read_all(dir_.path() / "test.fzz"), "\x01");
}

// Standard input on a socket that keeps messages apart: a name sent as one
// message is that message's line, and later messages are left to whoever
// reads on. Each case ends with a message of its own newline, so that a
// program taking one byte of each message still comes to an end.
TEST_F(InTempDir, NameSentAsOneMessageIsTheMessagesLine) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  const std::string long_name(127, 'n');
  for (const Fixture& f : {file("data.bin", "\x01"), file(long_name, zeros(2))})
    ASSERT_NO_FATAL_FAILURE(make(dir_.path(), f));
  struct Case {
    std::string name;
    int type = SOCK_SEQPACKET;
    std::vector<std::string> messages{};  // the first is the program's
    Ending ending = found;
    // The program's end left non-blocking, the messages sent only once it waits.
    bool late = false;
  };
  const Case cases[] = {
      {.name = "sequenced packets", .messages = {"data.bin\n", "next\n", "\n"}},
      {.name = "datagrams", .type = SOCK_DGRAM, .messages = {"data.bin\n", "next\n", "\n"}},
      {.name = "a message without a newline", .messages = {"data.bin", "next\n", "\n"}},
      {.name = "a datagram without a newline",
       .type = SOCK_DGRAM,
       .messages = {"data.bin", "next\n", "\n"}},
      {.name = "bytes after the newline", .messages = {"data.bin\nmore\n", "next\n", "\n"}},
      {.name = "a long line",
       .type = SOCK_DGRAM,
       .messages = {long_name + std::string(73, 'm') + "\n", "next\n", "\n"},
       .ending = zeros_only},
      {.name = "a datagram that comes late to a non-blocking input",
       .type = SOCK_DGRAM,
       .messages = {"data.bin\n", "next\n", "\n"},
       .late = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, c.type | SOCK_CLOEXEC, 0, ends), 0);
    if (c.late) {
      ASSERT_EQ(::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
    }
    std::thread sender([&c, fd = ends[1]] {
      if (c.late) std::this_thread::sleep_for(std::chrono::milliseconds(300));
      for (const std::string& message : c.messages)
        EXPECT_EQ(::send(fd, message.data(), message.size(), 0),
                  static_cast<ssize_t>(message.size()));
    });
    if (!c.late) sender.join();
    const Finished run = run_with(dir_.path(), ends[0], Output::file, scratch_.path());
    if (sender.joinable()) sender.join();
    EXPECT_EQ(run.out, std::string(prompt) + "\n" + std::string(c.ending.line) + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, c.ending.status);
    EXPECT_EQ(read_all(dir_.path() / "test.fzz"),
              std::string(1, static_cast<char>(c.ending.verdict)));
    std::vector<std::string> unread;
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::recv(ends[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
      unread.emplace_back(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(unread, std::vector<std::string>(c.messages.begin() + 1, c.messages.end()));
    ::close(ends[0]);
    ::close(ends[1]);
    fs::remove(dir_.path() / "test.fzz");
  }
}

}  // namespace

int main(int argc, char** argv) {
  return run_runner(argc, argv);
}
