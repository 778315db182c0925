// Runs the real program in a fresh temporary directory, one row per case, and
// checks the exact console bytes, the result file, the exit status, and that
// nothing else in the directory changed.
//
// Usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND...
//   COMMAND: the program, or wine and the .exe; LIBRARY: the fail_read module.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "outcomes.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> program;  // the command that starts the program
std::string fail_read_library;     // preloaded for rows whose reads must fail
bool windows_build = false;        // expectations of the Windows build

// --- fixtures -------------------------------------------------------------

struct Fixture {
  enum Kind { file, sparse, directory, symlink, hardlink, fifo, reader };
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
Fixture symlink_to(std::string name, std::string target) {
  return {.kind = Fixture::symlink, .name = std::move(name), .bytes = std::move(target)};
}
// A FIFO that the test holds open for reading before the program starts and
// drains. One that leaves closes it as soon as the program has it open for
// writing, and only then do the FIFOs that the test feeds deliver their bytes.
Fixture reader(std::string name, bool leaves = false) {
  return {.kind = Fixture::reader, .name = std::move(name), .leaves = leaves};
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
    case Fixture::symlink:
      fs::create_symlink(f.bytes, path);
      break;
    case Fixture::hardlink:
      fs::create_hard_link(dir / f.bytes, path);
      break;
    case Fixture::fifo:
    case Fixture::reader:
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
// is shared with the test, as `program < names` in a loop would share it.
enum class Input { pipe, file };

// Where standard output goes: a file the test reads, or one that fails.
enum class Output { file, full_device, closed, reader_gone };

// A descriptor from which the program reads the typed bytes; -1 when none can be made.
int typed_input(const std::string& typed, Input how, const fs::path& scratch) {
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

// Runs the program once with in_fd as its standard input, which stays open.
Finished run_with(const fs::path& dir, int in_fd, Output output, const fs::path& scratch,
                  bool failing_reads, rlim_t data_limit = RLIM_INFINITY) {
  const fs::path out_path = scratch / "stdout", err_path = scratch / "stderr";
  // Everything the child needs is made before the fork: the feeding threads
  // may hold the allocator's lock at that moment.
  std::vector<char*> argv;
  for (const std::string& a : program) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
  if (failing_reads) environment.push_back("LD_PRELOAD=" + fail_read_library);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  // A pipe whose reader has gone before anything is written.
  int gone_pipe[2] = {-1, -1};
  if (output == Output::reader_gone) {
    if (::pipe(gone_pipe) != 0) return {};
    ::close(gone_pipe[0]);
  }

  const pid_t pid = ::fork();
  if (pid == 0) {
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
    }
    ::dup2(err, 2);
    for (int fd : {out, err, gone_pipe[1]})
      if (fd > 2) ::close(fd);
    // This runner ignores SIGPIPE; the program must meet it as a shell leaves it.
    ::signal(SIGPIPE, SIG_DFL);
    if (data_limit != RLIM_INFINITY) {
      const rlimit limit{data_limit, data_limit};
      if (::setrlimit(RLIMIT_DATA, &limit) != 0) ::_exit(124);
    }
    if (::chdir(dir.c_str()) != 0) ::_exit(125);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(126);
  }
  if (gone_pipe[1] >= 0) ::close(gone_pipe[1]);

  Finished r;
  int raw = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (::waitpid(pid, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      ADD_FAILURE() << "the program did not end within its time";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
  r.out = read_all(out_path);
  r.err = read_all(err_path);
  return r;
}

Finished run_in(const fs::path& dir, const std::string& typed, Input input, Output output,
                const fs::path& scratch, bool failing_reads, rlim_t data_limit) {
  const int in_fd = typed_input(typed, input, scratch);
  if (in_fd < 0) {
    ADD_FAILURE() << "cannot give the program its standard input";
    return {};
  }
  Finished r = run_with(dir, in_fd, output, scratch, failing_reads, data_limit);
  r.unread = rest_of(in_fd);
  ::close(in_fd);
  return r;
}

// --- the table --------------------------------------------------------------

enum class Platform { any, linux_only, windows_only };

// A working directory that anyone may write to and whose entries only their
// owners may remove, as /tmp is; owned by the caller or by nobody.
enum class Sticky { none, callers, nobodys };

struct Row {
  std::string name{};
  std::string typed{};  // the bytes on standard input
  std::vector<Fixture> fixtures{};
  Ending outcome = found;
  // Where the verdict is left, if anywhere; endings without one leave none.
  std::optional<std::string> result = "test.fzz";
  std::optional<int> status{};  // when it is not the outcome's own
  Platform only = Platform::any;
  bool read_only_dir = false;         // the working directory cannot be written to
  bool failing_reads = false;         // reads from files named "...unreadable" fail
  rlim_t data_limit = RLIM_INFINITY;  // the program's memory, as `ulimit -d` limits it
  Input input = Input::pipe;
  Output output = Output::file;  // when not a file, the console bytes are not seen
  Sticky sticky = Sticky::none;
  // Entries that the run changes on purpose: their bytes after it, none when removed.
  std::map<std::string, std::optional<std::string>> changed{};
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
               .outcome = vacant});
  t.push_back({.name = "NonZeroByteFound",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", zeros(11) + "A" + std::string(2988, 'x'))},
               .outcome = found});
  t.push_back({.name = "ZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(4096))},
               .outcome = zeros_only});
  t.push_back({.name = "OnlyTheLastByteNonZero",
               .typed = "last.bin\n",
               .fixtures = {file("last.bin", zeros(4095) + "\x01")},
               .outcome = found});
  t.push_back({.name = "OneZeroByte",
               .typed = "z\n",
               .fixtures = {file("z", zeros(1))},
               .outcome = zeros_only});
  // Bytes that a file read in text mode would turn into a line end or an end of file.
  t.push_back({.name = "CarriageReturnAmongZeros",
               .typed = "cr.bin\n",
               .fixtures = {file("cr.bin", zeros(100) + "\r" + zeros(100))},
               .outcome = found});
  t.push_back({.name = "CtrlZAmongZeros",
               .typed = "sub.bin\n",
               .fixtures = {file("sub.bin", zeros(100) + "\x1a" + zeros(100))},
               .outcome = found});
  t.push_back({.name = "FourGiBOfZerosIsNotVacant",
               .typed = "big\n",
               .fixtures = {sparse("big", 4 * GiB)},
               .outcome = zeros_only});
  t.push_back({.name = "TwoGiBWithLastByteNonZero",
               .typed = "big\n",
               .fixtures = {sparse("big", 2 * GiB, {{2 * GiB - 1, 'x'}})},
               .outcome = found});
  t.push_back({.name = "FiveGiBWithLastByteNonZero",
               .typed = "big\n",
               .fixtures = {sparse("big", 5 * GiB, {{5 * GiB - 1, 'x'}})},
               .outcome = found});
}

// Inputs that are no plain file, or none at all.
void unusual_input_rows(std::vector<Row>& t) {
  t.push_back({.name = "MissingFile", .typed = "missing.bin\n", .outcome = open_error});
  t.push_back({.name = "EmptyLine", .typed = "\n", .outcome = open_error});
  t.push_back({.name = "NoInputAtAll", .typed = "", .outcome = open_error});
  t.push_back({.name = "DirectoryIsNoInput",
               .typed = "adir\n",
               .fixtures = {directory("adir")},
               .outcome = open_error});
  t.push_back({.name = "SymbolicLinkIsFollowed",
               .typed = "link\n",
               .fixtures = {file("data.bin", "\x01"), symlink_to("link", "data.bin")},
               .outcome = found});
  // Inputs without a length are read to the end of their data.
  t.push_back({.name = "FifoOfZeros",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(300000))},
               .outcome = zeros_only});
  t.push_back({.name = "FifoWithANonZeroByte",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(200000) + "z")},
               .outcome = found});
  t.push_back({.name = "EmptyFifoIsVacant",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", "")},
               .outcome = vacant});
  t.push_back({.name = "RandomDevice", .typed = "/dev/urandom\n", .outcome = found});
  t.push_back({.name = "NullDeviceIsVacant", .typed = "/dev/null\n", .outcome = vacant});
  // A length of 0 is confirmed by a read: files in /proc report it over text.
  t.push_back({.name = "ProcFileOfLengthZeroHoldsText",
               .typed = "/proc/version\n",
               .outcome = found,
               .only = Platform::linux_only});
}

// How the typed line becomes the name.
void name_rows(std::vector<Row>& t) {
  t.push_back({.name = "LeadingSpacesStayInTheName",
               .typed = "  spaced\n",
               .fixtures = {file("  spaced", "\x05"), file("spaced", zeros(3))},
               .outcome = found});
  t.push_back({.name = "TabEndsTheName",
               .typed = "tabbed\tignored\n",
               .fixtures = {file("tabbed", "\x07")},
               .outcome = found});
  t.push_back({.name = "CarriageReturnEndsTheName",
               .typed = "crlf.bin\r\n",
               .fixtures = {file("crlf.bin", zeros(5))},
               .outcome = zeros_only});
  t.push_back({.name = "LineWithoutNewline",
               .typed = "nonl.bin",
               .fixtures = {file("nonl.bin", zeros(5))},
               .outcome = zeros_only});
  t.push_back({.name = "LongLineKeepsItsFirst127Characters",
               .typed = std::string(127, 'n') + std::string(73, 'm') + "\n",
               .fixtures = {file(std::string(127, 'n'), "\x01")},
               .outcome = found});
  t.push_back({.name = "OnlyTheFirstLineIsRead",
               .typed = "first\nsecond\n",
               .fixtures = {file("first", zeros(2)), file("second", "\x01")},
               .outcome = zeros_only});
  // Windows takes the typed bytes in its ANSI code page, not as UTF-8.
  t.push_back({.name = "HighBytesInTheName",
               .typed = "caf\xc3\xa9\n",
               .fixtures = {file("caf\xc3\xa9", "\x01")},
               .outcome = found,
               .only = Platform::linux_only});
  t.push_back({.name = "UpperCaseNameIsAnotherFileOnLinux",
               .typed = "TEST.FZZ\n",
               .fixtures = {file("TEST.FZZ", "\x01"), file("test.fzz", "\x02")},
               .outcome = found,
               .only = Platform::linux_only});
}

// Standard input shared with whoever reads on: exactly one line is taken.
void shared_input_rows(std::vector<Row>& t) {
  const std::string long_line = std::string(127, 'n') + std::string(73, 'm') + "\n";
  t.push_back({.name = "SharedFileOfNamesGivesUpOnlyItsFirstLine",
               .typed = "first\nsecond\n",
               .fixtures = {file("first", zeros(2)), file("second", "\x01")},
               .outcome = zeros_only,
               .input = Input::file});
  t.push_back({.name = "LongLineTakenWholeFromAPipe",
               .typed = long_line + "next\n",
               .fixtures = {file(std::string(127, 'n'), "\x01")},
               .outcome = found,
               .input = Input::pipe});
  t.push_back({.name = "LongLineTakenWholeFromAFile",
               .typed = long_line + "next\n",
               .fixtures = {file(std::string(127, 'n'), "\x01")},
               .outcome = found,
               .input = Input::file});
  t.push_back({.name = "SharedFileEndingWithoutNewline",
               .typed = "nonl.bin",
               .fixtures = {file("nonl.bin", zeros(5))},
               .outcome = zeros_only,
               .input = Input::file});
}

// Where the verdict goes: never into the input itself, whatever name leads to it.
void result_name_rows(std::vector<Row>& t) {
  t.push_back({.name = "ExistingResultFileReplacedByOneByte",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("test.fzz", std::string(5000, 'r'))},
               .outcome = found});
  t.push_back({.name = "ExistingEmptyResultFileGetsOneByte",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(9)), file("test.fzz", "")},
               .outcome = zeros_only});
  t.push_back({.name = "EarlierResultExaminedIntoTest2",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", "\x01")},
               .outcome = found,
               .result = "test2.fzz"});
  t.push_back({.name = "EarlierZeroResultExaminedIntoTest2",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", zeros(1))},
               .outcome = zeros_only,
               .result = "test2.fzz"});
  t.push_back({.name = "NameEndingInTestFzzUsesTest2",
               .typed = "mytest.fzz\n",
               .fixtures = {file("mytest.fzz", "")},
               .outcome = vacant,
               .result = "test2.fzz"});
  t.push_back({.name = "Test2AsInputResultsInTestFzz",
               .typed = "test2.fzz\n",
               .fixtures = {file("test2.fzz", "\x01")},
               .outcome = found,
               .result = "test.fzz"});
  t.push_back({.name = "SymbolicLinkToResultNameSendsVerdictToTest2",
               .typed = "link\n",
               .fixtures = {file("test.fzz", "\x01\x02"), symlink_to("link", "test.fzz")},
               .outcome = found,
               .result = "test2.fzz"});
  t.push_back({.name = "HardLinkToResultNameSendsVerdictToTest2",
               .typed = "link\n",
               .fixtures = {file("test.fzz", zeros(7)), hardlink_to("link", "test.fzz")},
               .outcome = zeros_only,
               .result = "test2.fzz"});
  t.push_back({.name = "Test2LinkedToTheInputSendsVerdictToTestFzz",
               .typed = "mytest.fzz\n",
               .fixtures = {file("mytest.fzz", "\x05"), hardlink_to("test2.fzz", "mytest.fzz")},
               .outcome = found,
               .result = "test.fzz"});
  t.push_back({.name = "BothResultNamesAreTheInput",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", "\x05"), symlink_to("test2.fzz", "test.fzz")},
               .outcome = result_error});
  t.push_back({.name = "ResultNameIsADirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), directory("test.fzz")},
               .outcome = result_error});
  t.push_back({.name = "DirectoryNotWritable",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .outcome = result_error,
               .read_only_dir = true});
  // Names that Windows takes for another: the file examined is never the one written.
  t.push_back({.name = "UpperCaseNameOfAnEarlierResult",
               .typed = "TEST.FZZ\n",
               .fixtures = {file("test.fzz", "\x01")},
               .outcome = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "TrailingSpaceAfterAnEarlierResult",
               .typed = "test.fzz \n",
               .fixtures = {file("test.fzz", "\x01")},
               .outcome = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "TrailingDotAfterAnEarlierResult",
               .typed = "test.fzz.\n",
               .fixtures = {file("test.fzz", zeros(2))},
               .outcome = zeros_only,
               .result = "test2.fzz",
               .only = Platform::windows_only});
}

// A verdict that cannot be stored is never reported as success. Wine reports
// writes to /dev/full and into a FIFO whose reader has gone as done, so only
// Linux can show it.
void lost_verdict_rows(std::vector<Row>& t) {
  t.push_back({.name = "VerdictLostOnFullDeviceVacant",
               .typed = "in\n",
               .fixtures = {file("in", ""), symlink_to("test.fzz", "/dev/full")},
               .outcome = vacant,
               .result = std::nullopt,
               .status = status_verdict_lost,
               .only = Platform::linux_only});
  t.push_back({.name = "VerdictLostOnFullDeviceFound",
               .typed = "in\n",
               .fixtures = {file("in", "\x01"), symlink_to("test.fzz", "/dev/full")},
               .outcome = found,
               .result = std::nullopt,
               .status = status_verdict_lost,
               .only = Platform::linux_only});
  t.push_back({.name = "VerdictLostOnFullDeviceZerosOnly",
               .typed = "in\n",
               .fixtures = {file("in", zeros(3)), symlink_to("test.fzz", "/dev/full")},
               .outcome = zeros_only,
               .result = std::nullopt,
               .status = status_verdict_lost,
               .only = Platform::linux_only});
  // The reader of the result FIFO goes before the verdict comes: the run
  // still ends with its line instead of dying of SIGPIPE.
  t.push_back({.name = "ResultFifoWhoseReaderLeavesFound",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(5000) + "\x01"), reader("test.fzz", true)},
               .outcome = found,
               .result = std::nullopt,
               .status = status_verdict_lost,
               .only = Platform::linux_only});
  t.push_back({.name = "ResultFifoWhoseReaderLeavesZerosOnly",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(5000)), reader("test.fzz", true)},
               .outcome = zeros_only,
               .result = std::nullopt,
               .status = status_verdict_lost,
               .only = Platform::linux_only});
  t.push_back({.name = "ResultFifoWhoseReaderLeavesVacant",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", ""), reader("test.fzz", true)},
               .outcome = vacant,
               .result = std::nullopt,
               .status = status_verdict_lost,
               .only = Platform::linux_only});
}

// Standard output that fails: the verdict is stored all the same, and the
// status says that nobody saw the outcome line, unless it already says worse.
void failing_output_rows(std::vector<Row>& t) {
  for (const auto& [output, name] :
       {std::pair{Output::full_device, "FullDevice"}, std::pair{Output::closed, "Closed"},
        std::pair{Output::reader_gone, "PipeWithoutReader"}}) {
    const std::string to = std::string("OutputTo") + name;
    t.push_back({.name = to + "Found",
                 .typed = "data.bin\n",
                 .fixtures = {file("data.bin", "\x01")},
                 .outcome = found,
                 .status = status_output_lost,
                 .output = output});
    t.push_back({.name = to + "ZerosOnly",
                 .typed = "zeros.bin\n",
                 .fixtures = {file("zeros.bin", zeros(3))},
                 .outcome = zeros_only,
                 .status = status_output_lost,
                 .output = output});
    t.push_back({.name = to + "Vacant",
                 .typed = "empty\n",
                 .fixtures = {file("empty", "")},
                 .outcome = vacant,
                 .status = status_output_lost,
                 .output = output});
    t.push_back({.name = to + "KeepsOpenErrorStatus",
                 .typed = "missing\n",
                 .outcome = open_error,
                 .output = output});
    t.push_back({.name = to + "KeepsVerdictLostStatus",
                 .typed = "data.bin\n",
                 .fixtures = {file("data.bin", "\x01"), symlink_to("test.fzz", "/dev/full")},
                 .outcome = found,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .only = Platform::linux_only,
                 .output = output});
  }
}

// A read that fails is no answer: no result file is left claiming one. Only
// the plain file that was created for the verdict is removed; whatever else
// the result name is stays.
void read_error_rows(std::vector<Row>& t) {
  t.push_back({.name = "ReadErrorLeavesNoResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000))},
               .outcome = read_error,
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "ReadErrorRemovesAnEarlierResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), file("test.fzz", "old")},
               .outcome = read_error,
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"test.fzz", std::nullopt}}});
  // The file it leads to was cut when it was opened for the verdict.
  t.push_back({.name = "ReadErrorLeavesAResultLinkInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), file("kept", "old"),
                            symlink_to("test.fzz", "kept")},
               .outcome = read_error,
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"kept", ""}}});
  t.push_back({.name = "ReadErrorLeavesAResultFifoInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), reader("test.fzz")},
               .outcome = read_error,
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
               .outcome = vacant,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  t.push_back({.name = "ShortOfMemoryZeros",
               .typed = "big\n",
               .fixtures = {file("big", zeros(20 << 20))},
               .outcome = zeros_only,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  t.push_back({.name = "ShortOfMemoryFound",
               .typed = "big\n",
               .fixtures = {file("big", zeros(20 << 20) + "\x01")},
               .outcome = found,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
}

// Entries that another user planted in a shared directory are not written through.
void planted_entry_rows(std::vector<Row>& t) {
  t.push_back({.name = "PlantedLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                            owned_by_nobody(symlink_to("test.fzz", "victim"))},
               .outcome = result_error,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back(
      {.name = "PlantedDanglingLinkInStickyDirectoryIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), owned_by_nobody(symlink_to("test.fzz", "created"))},
       .outcome = result_error,
       .only = Platform::linux_only,
       .sticky = Sticky::callers});
  t.push_back({.name = "OthersFileInStickyDirectoryIsNotOpened",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .outcome = result_error,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back(
      {.name = "OwnLinkInStickyDirectoryIsFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("mine", "old"), symlink_to("test.fzz", "mine")},
       .outcome = found,
       .result = std::nullopt,
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "DirectoryOwnersLinkInStickyDirectoryIsFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("mine", "old"),
                            owned_by_nobody(symlink_to("test.fzz", "mine"))},
               .outcome = found,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys,
               .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "OthersFileInStickyDirectoryOfTheirsIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .outcome = found,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys});
  t.push_back({.name = "OthersFileElsewhereIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .outcome = found,
               .only = Platform::linux_only});
}

std::vector<Row> rows() {
  std::vector<Row> t;
  content_rows(t);
  unusual_input_rows(t);
  name_rows(t);
  shared_input_rows(t);
  result_name_rows(t);
  lost_verdict_rows(t);
  failing_output_rows(t);
  read_error_rows(t);
  memory_limit_rows(t);
  planted_entry_rows(t);
  return t;
}

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class InTempDir : public testing::Test {
 protected:
  // Makes the row's fixtures, runs the program once and checks everything it
  // shows: console bytes, status, result file, and every other entry as it was.
  void check(const Row& row) {
    if (row.only == (windows_build ? Platform::linux_only : Platform::windows_only))
      GTEST_SKIP() << "a case for the other platform";
    if (row.failing_reads && fail_read_library.empty())
      GTEST_SKIP() << "no --fail-read library given";
    if (row.read_only_dir && ::geteuid() == 0) GTEST_SKIP() << "permission bits do not stop root";
    const bool needs_root =
        row.sticky == Sticky::nobodys || std::any_of(row.fixtures.begin(), row.fixtures.end(),
                                                     [](const Fixture& f) { return f.nobody; });
    if (needs_root && ::geteuid() != 0) GTEST_SKIP() << "giving files to nobody needs root";
    if (row.data_limit != RLIM_INFINITY &&
        run_in(dir_.path(), "", Input::pipe, Output::file, scratch_.path(), false, row.data_limit)
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
    const Finished run = run_in(dir, row.typed, row.input, row.output, scratch_.path(),
                                row.failing_reads, row.data_limit);
    ::chown(dir.c_str(), ::geteuid(), static_cast<gid_t>(-1));
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    ended = true;
    for (std::thread& t : helpers) t.join();

    const std::string nl = windows_build ? "\r\n" : "\n";
    if (row.output == Output::file) {
      EXPECT_EQ(run.out, std::string(prompt_line) + nl + std::string(row.outcome.line) + nl);
    }
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, row.status.value_or(row.outcome.status) & 0xff);
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
    if (row.result && row.outcome.verdict != no_verdict) {
      ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(dir / *row.result)))
          << "no result file " << *row.result;
      EXPECT_EQ(read_all(dir / *row.result),
                std::string(1, static_cast<char>(row.outcome.verdict)));
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

INSTANTIATE_TEST_SUITE_P(Table, EndToEnd, testing::ValuesIn(rows()),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

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
  if (windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  for (const auto& [content, outcome] :
       {std::pair{zeros(1 << 20), zeros_only}, std::pair{zeros((1 << 20) - 1) + "\x01", found}}) {
    if (attach(content).empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
    check({.name = "loop", .typed = device_ + "\n", .outcome = outcome});
    detach();
    fs::remove(dir_.path() / "test.fzz");
  }
}

// A second device node for the device being examined is that device too: the
// verdict goes to the other name, and the device keeps its bytes.
TEST_F(LoopDevice, SecondNodeOfTheDeviceIsNoResultFile) {
  if (windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  if (attach("\x05" + zeros((1 << 20) - 1)).empty())
    GTEST_SKIP() << "losetup cannot attach a loop device here";
  struct stat device {};
  ASSERT_EQ(::stat(device_.c_str(), &device), 0);
  const fs::path node = dir_.path() / "test.fzz";
  ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, device.st_rdev), 0);
  check({.name = "node", .typed = device_ + "\n", .outcome = found, .result = "test2.fzz"});
  // Read back through the device, whose cache holds whatever was written into it.
  std::ifstream in(device_, std::ios::binary);
  char first = 0;
  in.read(&first, 1);
  EXPECT_EQ(first, '\x05');
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
  const std::string nl = windows_build ? "\r\n" : "\n";
  for (const auto& outcome : {found, zeros_only, vacant, open_error}) {
    const Finished run = run_with(dir_.path(), in_fd, Output::file, scratch_.path(), false);
    EXPECT_EQ(run.out, std::string(prompt_line) + nl + std::string(outcome.line) + nl);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, outcome.status);
    if (outcome.verdict != no_verdict) {
      EXPECT_EQ(read_all(dir_.path() / "test.fzz"),
                std::string(1, static_cast<char>(outcome.verdict)))
          << outcome.line;
    }
  }
  ::close(in_fd);
}

// Standard input left non-blocking by whoever shares it, with the name typed
// only after the program has asked for it: the name is waited for, not taken
// as empty.
TEST_F(InTempDir, NameTypedLateIntoNonBlockingInputIsWaitedFor) {
  if (windows_build) GTEST_SKIP() << "a case for the other platform";
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
  const Finished run = run_with(dir_.path(), typed[0], Output::file, scratch_.path(), false);
  typist.join();
  ::close(typed[0]);
  EXPECT_EQ(run.out, std::string(prompt_line) + "\n" + std::string(found.line) + "\n");
  EXPECT_EQ(run.status, found.status);
  EXPECT_EQ(read_all(dir_.path() / "test.fzz"), "\x01");
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int first = 1;
  for (; first < argc && std::string_view(argv[first]).starts_with("--"); ++first) {
    const std::string_view option = argv[first];
    if (option == "--windows")
      windows_build = true;
    else if (option.starts_with("--fail-read="))
      fail_read_library = option.substr(std::string_view("--fail-read=").size());
  }
  for (int i = first; i < argc; ++i) program.emplace_back(argv[i]);
  // The program runs in another directory: a path given relative to this one
  // must still lead to it, and so must the library preloaded into it.
  const auto resolve = [](std::string& path) {
    std::error_code error;
    if (path.find('/') == std::string::npos) return;
    const fs::path resolved = fs::canonical(path, error);
    if (!error) path = resolved.string();
  };
  for (std::string& word : program) resolve(word);
  resolve(fail_read_library);
  if (program.empty()) {
    std::fprintf(stderr, "usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND...\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
