// Runs the real program in a fresh temporary directory, one row per case, and
// checks the exact console bytes, the result file, the exit status, and that
// nothing else in the directory changed.
//
// Usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND...
//   COMMAND: the program, or wine and the .exe; LIBRARY: the fail_read module.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "outcomes.h"

namespace {

std::vector<std::string> program;  // the command that starts the program
std::string fail_read_library;     // preloaded for rows whose reads must fail
bool windows_build = false;        // expectations of the Windows build

using Bytes = std::string;

// --- fixtures -------------------------------------------------------------

struct Fixture {
  enum Kind { file, sparse, directory, symlink, hardlink, fifo, reader } kind;
  std::string name;
  Bytes bytes;            // file: the content; symlink, hardlink: the target
  std::int64_t size = 0;  // sparse: the length, all hole
  std::vector<std::pair<std::int64_t, char>> writes;  // sparse: bytes put into the hole
  bool leaves = false;  // reader: goes once the program has opened the FIFO for writing
  bool nobody = false;  // owned by the user nobody instead of the caller (needs root)
};

Fixture file(std::string name, Bytes bytes) {
  return {Fixture::file, std::move(name), std::move(bytes)};
}
Fixture sparse(std::string name, std::int64_t size,
               std::vector<std::pair<std::int64_t, char>> writes = {}) {
  return {Fixture::sparse, std::move(name), {}, size, std::move(writes)};
}
Fixture hardlink_to(std::string name, std::string target) {
  return {Fixture::hardlink, std::move(name), std::move(target)};
}
// A FIFO that the test feeds with the bytes once the program opens it.
Fixture fifo(std::string name, Bytes bytes) {
  return {Fixture::fifo, std::move(name), std::move(bytes)};
}
Fixture directory(std::string name) {
  return {Fixture::directory, std::move(name), {}};
}
Fixture symlink_to(std::string name, std::string target) {
  return {Fixture::symlink, std::move(name), std::move(target)};
}
// A FIFO that the test holds open for reading before the program starts and
// drains. One that leaves closes it as soon as the program has it open for
// writing, and only then do the FIFOs that the test feeds deliver their bytes.
Fixture reader(std::string name, bool leaves = false) {
  Fixture f{Fixture::reader, std::move(name)};
  f.leaves = leaves;
  return f;
}
Fixture owned_by_nobody(Fixture f) {
  f.nobody = true;
  return f;
}

uid_t nobody_uid() {
  const passwd* pw = ::getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 65534;
}

void make(const std::string& dir, const Fixture& f) {
  const std::string path = dir + "/" + f.name;
  switch (f.kind) {
    case Fixture::file: {
      std::ofstream out(path, std::ios::binary);
      out.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
      ASSERT_TRUE(out.good()) << path;
      break;
    }
    case Fixture::sparse: {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0) << path;
      ASSERT_EQ(::ftruncate(fd, f.size), 0) << path;
      for (const auto& [offset, byte] : f.writes) ASSERT_EQ(::pwrite(fd, &byte, 1, offset), 1);
      ::close(fd);
      break;
    }
    case Fixture::directory:
      ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
      break;
    case Fixture::symlink:
      ASSERT_EQ(::symlink(f.bytes.c_str(), path.c_str()), 0) << path;
      break;
    case Fixture::hardlink:
      ASSERT_EQ(::link((dir + "/" + f.bytes).c_str(), path.c_str()), 0) << path;
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
void feed(const std::string& path, const Bytes& bytes, std::shared_future<void> readers_gone) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int fd = -1;
  while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
    if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  readers_gone.wait_until(deadline);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
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

// What a directory holds, entry by entry: type, size and, for files up to
// 1 MiB, their bytes (shown when short, hashed otherwise); larger files by
// modification time.
using Snapshot = std::map<std::string, std::string>;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Calls visit(name, path, status) for every entry of the directory.
template <class Visit>
void for_each_entry(const std::string& dir, Visit visit) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string path = dir + "/" + name;
    struct stat st {};
    ::lstat(path.c_str(), &st);
    visit(name, path, st);
  }
  ::closedir(d);
}

Snapshot snapshot(const std::string& dir) {
  Snapshot s;
  for_each_entry(dir, [&](const std::string& name, const std::string& path, const struct stat& st) {
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
      char target[4096] = {};
      ::readlink(path.c_str(), target, sizeof target - 1);
      what << " -> " << target;
    }
    s[name] = what.str();
  });
  return s;
}

// --- running the program ----------------------------------------------------

struct Finished {
  int status = -1000;  // the exit status as a POSIX parent sees it
  Bytes out, err;
  Bytes unread;  // what the program left of its standard input
};

// How the typed bytes reach the program: through a pipe, or as a file that
// is shared with the test, as `program < names` in a loop would share it.
enum class Input { pipe, file };

// Where standard output goes: a file the test reads, or one that fails.
enum class Output { file, full_device, closed, reader_gone };

// A descriptor from which the program reads the typed bytes; -1 when none can be made.
int typed_input(const Bytes& typed, Input how, const std::string& scratch) {
  if (how == Input::file) {
    const std::string path = scratch + "/stdin";
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
Bytes rest_of(int fd) {
  Bytes rest;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    rest.append(buffer, static_cast<std::size_t>(n));
  return rest;
}

// Runs the program once with in_fd as its standard input, which stays open.
Finished run_with(const std::string& dir, int in_fd, Output output, const std::string& scratch,
                  bool failing_reads) {
  const std::string out_path = scratch + "/stdout", err_path = scratch + "/stderr";
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

Finished run_in(const std::string& dir, const Bytes& typed, Input input, Output output,
                const std::string& scratch, bool failing_reads) {
  const int in_fd = typed_input(typed, input, scratch);
  if (in_fd < 0) {
    ADD_FAILURE() << "cannot give the program its standard input";
    return {};
  }
  Finished r = run_with(dir, in_fd, output, scratch, failing_reads);
  r.unread = rest_of(in_fd);
  ::close(in_fd);
  return r;
}

std::string make_temp_dir(const char* what) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr ? base : "/tmp") + "/content_check-" + what + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

void remove_tree(const std::string& dir) {
  ::chmod(dir.c_str(), 0755);
  for_each_entry(dir, [](const std::string&, const std::string& path, const struct stat& st) {
    if (S_ISDIR(st.st_mode))
      remove_tree(path);
    else
      ::unlink(path.c_str());
  });
  ::rmdir(dir.c_str());
}

// --- the table --------------------------------------------------------------

enum class Platform { any, linux_only, windows_only };

// A working directory that anyone may write to and whose entries only their
// owners may remove, as /tmp is; owned by the caller or by nobody.
enum class Sticky { none, callers, nobodys };

struct Row {
  std::string name;
  Bytes typed;
  std::vector<Fixture> fixtures;
  Outcome outcome;
  std::optional<std::string> result = "test.fzz";  // where the verdict goes, if anywhere
  std::optional<int> status;                       // when it is not the outcome's own
  Platform only = Platform::any;
  bool read_only_dir = false;  // the working directory cannot be written to
  bool failing_reads = false;  // reads from files named "...unreadable" fail
  Input input = Input::pipe;
  Output output = Output::file;  // when not a file, the console bytes are not seen
  Sticky sticky = Sticky::none;
  // Entries that the run changes on purpose: their bytes after it, none when removed.
  std::map<std::string, std::optional<Bytes>> changed;
};

constexpr std::int64_t GiB = std::int64_t{1} << 30;

// Standard input shared with whoever reads on: exactly one line is taken.
void shared_input_rows(std::vector<Row>& t) {
  const Bytes long_line = Bytes(127, 'n') + Bytes(73, 'm') + "\n";
  t.push_back({.name = "SharedFileOfNamesGivesUpOnlyItsFirstLine",
               .typed = "first\nsecond\n",
               .fixtures = {file("first", Bytes(2, '\0')), file("second", "\x01")},
               .outcome = zeros_only,
               .input = Input::file});
  for (const Input input : {Input::pipe, Input::file}) {
    t.push_back(
        {.name = std::string("LongLineTakenWholeFromA") + (input == Input::pipe ? "Pipe" : "File"),
         .typed = long_line + "next\n",
         .fixtures = {file(Bytes(127, 'n'), "\x01")},
         .outcome = found,
         .input = input});
  }
  t.push_back({.name = "SharedFileEndingWithoutNewline",
               .typed = "nonl.bin",
               .fixtures = {file("nonl.bin", Bytes(5, '\0'))},
               .outcome = zeros_only,
               .input = Input::file});
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
                 .fixtures = {file("zeros.bin", Bytes(3, '\0'))},
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
                 .result = std::nullopt,
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

// A result FIFO whose reader goes before the verdict comes: the verdict is
// lost, and the run still ends with its line instead of dying of SIGPIPE.
// (Wine reports the write into such a FIFO as done, so only Linux can show it.)
void leaving_reader_rows(std::vector<Row>& t) {
  for (const auto& [name, bytes, outcome] : {std::tuple{"Found", Bytes(5000, '\0') + "\x01", found},
                                             std::tuple{"ZerosOnly", Bytes(5000, '\0'), zeros_only},
                                             std::tuple{"Vacant", Bytes(), vacant}}) {
    t.push_back({.name = std::string("ResultFifoWhoseReaderLeaves") + name,
                 .typed = "pipe\n",
                 .fixtures = {fifo("pipe", bytes), reader("test.fzz", true)},
                 .outcome = outcome,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .only = Platform::linux_only});
  }
}

// After a read error only the plain file that was created for the verdict is
// removed; whatever else the result name is stays.
void read_error_cleanup_rows(std::vector<Row>& t) {
  const Fixture unreadable = file("zeros.unreadable", Bytes(5000, '\0'));
  t.push_back({.name = "ReadErrorRemovesAnEarlierResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {unreadable, file("test.fzz", "old")},
               .outcome = read_error,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"test.fzz", std::nullopt}}});
  // The file it leads to was cut when it was opened for the verdict.
  t.push_back({.name = "ReadErrorLeavesAResultLinkInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {unreadable, file("kept", "old"), symlink_to("test.fzz", "kept")},
               .outcome = read_error,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"kept", ""}}});
  t.push_back({.name = "ReadErrorLeavesAResultFifoInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {unreadable, reader("test.fzz")},
               .outcome = read_error,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .failing_reads = true});
}

// Entries that another user planted in a shared directory are not written through.
void planted_entry_rows(std::vector<Row>& t) {
  const Fixture input = file("data.bin", "\x01");
  t.push_back({.name = "PlantedLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {input, file("victim", "keep"),
                            owned_by_nobody(symlink_to("test.fzz", "victim"))},
               .outcome = result_error,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "PlantedDanglingLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {input, owned_by_nobody(symlink_to("test.fzz", "created"))},
               .outcome = result_error,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "OthersFileInStickyDirectoryIsNotOpened",
               .typed = "data.bin\n",
               .fixtures = {input, owned_by_nobody(file("test.fzz", "theirs"))},
               .outcome = result_error,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "OwnLinkInStickyDirectoryIsFollowed",
               .typed = "data.bin\n",
               .fixtures = {input, file("mine", "old"), symlink_to("test.fzz", "mine")},
               .outcome = found,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::callers,
               .changed = {{"mine", "\x01"}}});
  t.push_back(
      {.name = "DirectoryOwnersLinkInStickyDirectoryIsFollowed",
       .typed = "data.bin\n",
       .fixtures = {input, file("mine", "old"), owned_by_nobody(symlink_to("test.fzz", "mine"))},
       .outcome = found,
       .result = std::nullopt,
       .only = Platform::linux_only,
       .sticky = Sticky::nobodys,
       .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "OthersFileInStickyDirectoryOfTheirsIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {input, owned_by_nobody(file("test.fzz", "theirs"))},
               .outcome = found,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys});
  t.push_back({.name = "OthersFileElsewhereIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {input, owned_by_nobody(file("test.fzz", "theirs"))},
               .outcome = found,
               .only = Platform::linux_only});
}

void more_rows(std::vector<Row>& t) {
  shared_input_rows(t);
  failing_output_rows(t);
  leaving_reader_rows(t);
  read_error_cleanup_rows(t);
  planted_entry_rows(t);
}

std::vector<Row> rows() {
  const Bytes zeros4096(4096, '\0');
  std::vector<Row> t;
  t.push_back({"ZeroLengthInputIsVacant", "empty.bin\n", {file("empty.bin", "")}, vacant});
  t.push_back({"NonZeroByteFound",
               "data.bin\n",
               {file("data.bin", Bytes(11, '\0') + "A" + Bytes(2988, 'x'))},
               found});
  t.push_back({"ZerosOnly", "zeros.bin\n", {file("zeros.bin", zeros4096)}, zeros_only});
  t.push_back({"OnlyTheLastByteNonZero",
               "last.bin\n",
               {file("last.bin", Bytes(4095, '\0') + "\x01")},
               found});
  t.push_back({"OneZeroByte", "z\n", {file("z", Bytes(1, '\0'))}, zeros_only});
  t.push_back({"CarriageReturnAmongZeros",
               "cr.bin\n",
               {file("cr.bin", Bytes(100, '\0') + "\r" + Bytes(100, '\0'))},
               found});
  t.push_back({"CtrlZAmongZeros",
               "sub.bin\n",
               {file("sub.bin", Bytes(100, '\0') + "\x1a" + Bytes(100, '\0'))},
               found});
  t.push_back({"MissingFile", "missing.bin\n", {}, open_error, std::nullopt});
  t.push_back({"EmptyLine", "\n", {}, open_error, std::nullopt});
  t.push_back({"NoInputAtAll", "", {}, open_error, std::nullopt});
  t.push_back({"DirectoryIsNoInput", "adir\n", {directory("adir")}, open_error, std::nullopt});
  t.push_back({"LeadingSpacesStayInTheName",
               "  spaced\n",
               {file("  spaced", "\x05"), file("spaced", Bytes(3, '\0'))},
               found});
  t.push_back({"TabEndsTheName", "tabbed\tignored\n", {file("tabbed", "\x07")}, found});
  t.push_back({"CarriageReturnEndsTheName",
               "crlf.bin\r\n",
               {file("crlf.bin", Bytes(5, '\0'))},
               zeros_only});
  t.push_back({"LineWithoutNewline", "nonl.bin", {file("nonl.bin", Bytes(5, '\0'))}, zeros_only});
  t.push_back({"LongLineKeepsItsFirst127Characters",
               Bytes(127, 'n') + Bytes(73, 'm') + "\n",
               {file(Bytes(127, 'n'), "\x01")},
               found});
  t.push_back({"OnlyTheFirstLineIsRead",
               "first\nsecond\n",
               {file("first", Bytes(2, '\0')), file("second", "\x01")},
               zeros_only});
  t.push_back({"ExistingResultFileReplacedByOneByte",
               "data.bin\n",
               {file("data.bin", "\x01"), file("test.fzz", Bytes(5000, 'r'))},
               found});
  t.push_back({"ExistingEmptyResultFileGetsOneByte",
               "zeros.bin\n",
               {file("zeros.bin", Bytes(9, '\0')), file("test.fzz", "")},
               zeros_only});
  t.push_back({"EarlierResultExaminedIntoTest2",
               "test.fzz\n",
               {file("test.fzz", "\x01")},
               found,
               "test2.fzz"});
  t.push_back({"EarlierZeroResultExaminedIntoTest2",
               "test.fzz\n",
               {file("test.fzz", Bytes(1, '\0'))},
               zeros_only,
               "test2.fzz"});
  t.push_back({"NameEndingInTestFzzUsesTest2",
               "mytest.fzz\n",
               {file("mytest.fzz", "")},
               vacant,
               "test2.fzz"});
  t.push_back({"Test2AsInputResultsInTestFzz",
               "test2.fzz\n",
               {file("test2.fzz", "\x01")},
               found,
               "test.fzz"});
  t.push_back({"SymbolicLinkIsFollowed",
               "link\n",
               {file("data.bin", "\x01"), symlink_to("link", "data.bin")},
               found});
  // Windows takes the typed bytes in its ANSI code page, not as UTF-8.
  t.push_back({"HighBytesInTheName",
               "caf\xc3\xa9\n",
               {file("caf\xc3\xa9", "\x01")},
               found,
               "test.fzz",
               std::nullopt,
               Platform::linux_only});
  t.push_back({"FourGiBOfZerosIsNotVacant", "big\n", {sparse("big", 4 * GiB)}, zeros_only});
  t.push_back({"TwoGiBWithLastByteNonZero",
               "big\n",
               {sparse("big", 2 * GiB, {{2 * GiB - 1, 'x'}})},
               found});
  t.push_back({"FiveGiBWithLastByteNonZero",
               "big\n",
               {sparse("big", 5 * GiB, {{5 * GiB - 1, 'x'}})},
               found});

  // Never into the input itself, whatever name leads to it.
  t.push_back({"SymbolicLinkToResultNameSendsVerdictToTest2",
               "link\n",
               {file("test.fzz", "\x01\x02"), symlink_to("link", "test.fzz")},
               found,
               "test2.fzz"});
  t.push_back({"HardLinkToResultNameSendsVerdictToTest2",
               "link\n",
               {file("test.fzz", Bytes(7, '\0')), hardlink_to("link", "test.fzz")},
               zeros_only,
               "test2.fzz"});
  t.push_back({"Test2LinkedToTheInputSendsVerdictToTestFzz",
               "mytest.fzz\n",
               {file("mytest.fzz", "\x05"), hardlink_to("test2.fzz", "mytest.fzz")},
               found,
               "test.fzz"});
  t.push_back({"BothResultNamesAreTheInput",
               "test.fzz\n",
               {file("test.fzz", "\x05"), symlink_to("test2.fzz", "test.fzz")},
               result_error,
               std::nullopt});
  t.push_back({"ResultNameIsADirectory",
               "data.bin\n",
               {file("data.bin", "\x01"), directory("test.fzz")},
               result_error,
               std::nullopt});
  t.push_back({"DirectoryNotWritable",
               "data.bin\n",
               {file("data.bin", "\x01")},
               result_error,
               std::nullopt,
               std::nullopt,
               Platform::any,
               true});

  // A verdict that cannot be stored is never reported as success. (Wine
  // reports writes to /dev/full as done, so only Linux can show it.)
  for (const auto& [name, content, outcome] :
       {std::tuple{"Vacant", Bytes(), vacant}, std::tuple{"Found", Bytes("\x01"), found},
        std::tuple{"ZerosOnly", Bytes(3, '\0'), zeros_only}}) {
    t.push_back({std::string("VerdictLostOnFullDevice") + name,
                 "in\n",
                 {file("in", content), symlink_to("test.fzz", "/dev/full")},
                 outcome,
                 std::nullopt,
                 status_verdict_lost,
                 Platform::linux_only});
  }

  // A read that fails is no answer: no result file is left claiming one.
  t.push_back({"ReadErrorLeavesNoResultFile",
               "zeros.unreadable\n",
               {file("zeros.unreadable", Bytes(5000, '\0'))},
               read_error,
               std::nullopt,
               std::nullopt,
               Platform::linux_only,
               false,
               true});

  // Inputs without a length are read to the end of their data.
  t.push_back(
      {"FifoOfZeros", "pipe\n", {fifo("pipe", Bytes(300000, '\0'))}, zeros_only, "test.fzz"});
  t.push_back({"FifoWithANonZeroByte",
               "pipe\n",
               {fifo("pipe", Bytes(200000, '\0') + "z")},
               found,
               "test.fzz"});
  t.push_back({"EmptyFifoIsVacant", "pipe\n", {fifo("pipe", "")}, vacant});
  t.push_back({"RandomDevice", "/dev/urandom\n", {}, found});
  t.push_back({"NullDeviceIsVacant", "/dev/null\n", {}, vacant});
  // A length of 0 is confirmed by a read: files in /proc report it over text.
  t.push_back({"ProcFileOfLengthZeroHoldsText",
               "/proc/version\n",
               {},
               found,
               "test.fzz",
               std::nullopt,
               Platform::linux_only});

  // Names that Windows takes for another: the file examined is never the one written.
  t.push_back({"UpperCaseNameOfAnEarlierResult",
               "TEST.FZZ\n",
               {file("test.fzz", "\x01")},
               found,
               "test2.fzz",
               std::nullopt,
               Platform::windows_only});
  t.push_back({"TrailingSpaceAfterAnEarlierResult",
               "test.fzz \n",
               {file("test.fzz", "\x01")},
               found,
               "test2.fzz",
               std::nullopt,
               Platform::windows_only});
  t.push_back({"TrailingDotAfterAnEarlierResult",
               "test.fzz.\n",
               {file("test.fzz", Bytes(2, '\0'))},
               zeros_only,
               "test2.fzz",
               std::nullopt,
               Platform::windows_only});
  more_rows(t);
  t.push_back({"UpperCaseNameIsAnotherFileOnLinux",
               "TEST.FZZ\n",
               {file("TEST.FZZ", "\x01"), file("test.fzz", "\x02")},
               found,
               "test.fzz",
               std::nullopt,
               Platform::linux_only});
  return t;
}

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class InTempDir : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = make_temp_dir("run");
    scratch_ = make_temp_dir("out");
    ASSERT_FALSE(dir_.empty());
    ASSERT_FALSE(scratch_.empty());
  }
  void TearDown() override {
    remove_tree(dir_);
    remove_tree(scratch_);
  }

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
    for (const Fixture& f : row.fixtures) ASSERT_NO_FATAL_FAILURE(make(dir_, f));
    Snapshot before = snapshot(dir_);

    // Readers hold their FIFOs open before the program starts; the fed FIFOs
    // deliver once the reader that leaves, if any, has gone.
    std::atomic<bool> ended = false;
    std::vector<std::thread> helpers;
    std::promise<void> no_reader_leaves;
    no_reader_leaves.set_value();
    std::shared_future<void> readers_gone = no_reader_leaves.get_future().share();
    for (const Fixture& f : row.fixtures) {
      if (f.kind != Fixture::reader) continue;
      const int fd = ::open((dir_ + "/" + f.name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(fd, 0) << f.name;
      std::promise<void> gone;
      if (f.leaves) readers_gone = gone.get_future().share();
      helpers.emplace_back(drain, fd, f.leaves, std::move(gone), std::cref(ended));
    }
    for (const Fixture& f : row.fixtures)
      if (f.kind == Fixture::fifo)
        helpers.emplace_back(feed, dir_ + "/" + f.name, f.bytes, readers_gone);
    if (row.read_only_dir) ::chmod(dir_.c_str(), 0555);
    if (row.sticky != Sticky::none) ::chmod(dir_.c_str(), 01777);
    if (row.sticky == Sticky::nobodys) ::chown(dir_.c_str(), nobody_uid(), static_cast<gid_t>(-1));
    const Finished run =
        run_in(dir_, row.typed, row.input, row.output, scratch_, row.failing_reads);
    ::chown(dir_.c_str(), ::geteuid(), static_cast<gid_t>(-1));
    ::chmod(dir_.c_str(), 0755);
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
    EXPECT_EQ(run.unread, newline == Bytes::npos ? "" : row.typed.substr(newline + 1));

    Snapshot after = snapshot(dir_);
    for (const auto& [name, bytes] : row.changed) {
      struct stat st {};
      const std::string path = dir_ + "/" + name;
      if (!bytes)
        EXPECT_NE(::lstat(path.c_str(), &st), 0) << name << " is still there";
      else
        EXPECT_EQ(read_all(path), *bytes) << name;
      before.erase(name);
      after.erase(name);
    }
    if (row.result) {
      const std::string path = dir_ + "/" + *row.result;
      struct stat st {};
      ASSERT_EQ(::lstat(path.c_str(), &st), 0) << "no result file " << *row.result;
      EXPECT_TRUE(S_ISREG(st.st_mode));
      if (row.outcome.verdict == no_verdict)
        ADD_FAILURE() << "a result file where none belongs";
      else
        EXPECT_EQ(read_all(path), Bytes(1, static_cast<char>(row.outcome.verdict)));
      before.erase(*row.result);
      after.erase(*row.result);
    }
    // Every input as it was, and nothing else created.
    EXPECT_EQ(after, before);
  }

  std::string dir_, scratch_;
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
  void TearDown() override {
    detach();
    InTempDir::TearDown();
  }
  void detach() {
    if (!device_.empty()) ::system(("losetup -d " + device_).c_str());
    device_.clear();
  }
  // Attaches a file of the bytes as a loop device; empty when that cannot be done here.
  std::string attach(const Bytes& bytes) {
    const std::string image = scratch_ + "/image";
    std::ofstream(image, std::ios::binary) << bytes;
    const std::string command = "losetup -f --show " + image + " 2>/dev/null";
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
  for (const auto& [content, outcome] : {std::pair{Bytes(1 << 20, '\0'), zeros_only},
                                         std::pair{Bytes((1 << 20) - 1, '\0') + "\x01", found}}) {
    if (attach(content).empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
    check({"loop", device_ + "\n", {}, outcome});
    detach();
    ::unlink((dir_ + "/test.fzz").c_str());
  }
}

// A second device node for the device being examined is that device too: the
// verdict goes to the other name, and the device keeps its bytes.
TEST_F(LoopDevice, SecondNodeOfTheDeviceIsNoResultFile) {
  if (windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  const Bytes content = "\x05" + Bytes((1 << 20) - 1, '\0');
  if (attach(content).empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
  struct stat device {};
  ASSERT_EQ(::stat(device_.c_str(), &device), 0);
  const std::string node = dir_ + "/test.fzz";
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
  const Bytes long_name = Bytes(127, 'n');
  const Bytes names = "first\n" + long_name + Bytes(73, 'm') + "\n" + "third";
  for (const Fixture& f :
       {file("first", "\x01"), file(long_name, Bytes(3, '\0')), file("third", "")})
    ASSERT_NO_FATAL_FAILURE(make(dir_, f));
  const std::string path = scratch_ + "/names";
  std::ofstream(path, std::ios::binary) << names;
  const int in_fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(in_fd, 0);
  const std::string nl = windows_build ? "\r\n" : "\n";
  for (const Outcome& outcome : {found, zeros_only, vacant, open_error}) {
    const Finished run = run_with(dir_, in_fd, Output::file, scratch_, false);
    EXPECT_EQ(run.out, std::string(prompt_line) + nl + std::string(outcome.line) + nl);
    EXPECT_EQ(run.status, outcome.status);
    if (outcome.verdict != no_verdict) {
      EXPECT_EQ(read_all(dir_ + "/test.fzz"), Bytes(1, static_cast<char>(outcome.verdict)))
          << outcome.line;
    }
  }
  ::close(in_fd);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int first = 1;
  for (; first < argc && std::strncmp(argv[first], "--", 2) == 0; ++first) {
    const std::string option = argv[first];
    if (option == "--windows")
      windows_build = true;
    else if (option.starts_with("--fail-read="))
      fail_read_library = option.substr(std::strlen("--fail-read="));
  }
  for (int i = first; i < argc; ++i) program.emplace_back(argv[i]);
  // The program runs in another directory: a path given relative to this one
  // must still lead to it.
  for (std::string& word : program) {
    char resolved[PATH_MAX];
    if (word.find('/') != std::string::npos && ::realpath(word.c_str(), resolved) != nullptr)
      word = resolved;
  }
  if (program.empty()) {
    std::fprintf(stderr, "usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND...\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}
