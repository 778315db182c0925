// Runs the real program in a fresh temporary directory, one row per case, and
// checks the exact console bytes, the result file, the exit status, and that
// nothing else in the directory changed.
//
// Usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND...
//   COMMAND: the program, or wine and the .exe; LIBRARY: the fail_read module.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
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
  enum Kind { file, sparse, directory, symlink, hardlink, fifo } kind;
  std::string name;
  Bytes bytes;            // file: the content; symlink, hardlink: the target
  std::int64_t size = 0;  // sparse: the length, all hole
  std::vector<std::pair<std::int64_t, char>> writes;  // sparse: bytes put into the hole
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
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
      break;
  }
}

// Writes the bytes into the FIFO once a reader has it open; gives up after a
// while, so that a program that never opens it cannot hang the test.
void feed(const std::string& path, const Bytes& bytes) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  int fd = -1;
  while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
    if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
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
    what << "mode " << std::oct << st.st_mode << std::dec << " size " << st.st_size;
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
};

Finished run_in(const std::string& dir, const Bytes& typed, const std::string& scratch,
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

  int in_pipe[2];
  if (::pipe(in_pipe) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (::chdir(dir.c_str()) != 0) ::_exit(125);
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(126);
  }
  ::close(in_pipe[0]);
  // The program reads one line; the rest may never be read, so a full pipe or
  // an early exit must not stop the test.
  for (std::size_t done = 0; done < typed.size();) {
    const ssize_t n = ::write(in_pipe[1], typed.data() + done, typed.size() - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(in_pipe[1]);

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
};

constexpr std::int64_t GiB = std::int64_t{1} << 30;

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
    for (const Fixture& f : row.fixtures) ASSERT_NO_FATAL_FAILURE(make(dir_, f));
    Snapshot before = snapshot(dir_);

    std::vector<std::thread> feeders;
    for (const Fixture& f : row.fixtures)
      if (f.kind == Fixture::fifo) feeders.emplace_back(feed, dir_ + "/" + f.name, f.bytes);
    if (row.read_only_dir) ::chmod(dir_.c_str(), 0555);
    const Finished run = run_in(dir_, row.typed, scratch_, row.failing_reads);
    if (row.read_only_dir) ::chmod(dir_.c_str(), 0755);
    for (std::thread& t : feeders) t.join();

    const std::string nl = windows_build ? "\r\n" : "\n";
    EXPECT_EQ(run.out, std::string(prompt_line) + nl + std::string(row.outcome.line) + nl);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, row.status.value_or(row.outcome.status) & 0xff);

    Snapshot after = snapshot(dir_);
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
