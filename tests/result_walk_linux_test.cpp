// The walk to the result file on Linux, for a caller passed in: which entries
// it follows or opens and which it refuses as planted by another user. The
// rows need no root: entries right in /tmp, a sticky directory that anyone may
// write to and that belongs to the system, are another user's entries to a
// caller of a made-up user id. A name that leads to the input is told from
// what the walk found, and the input never opened. The walk asks for no
// memory, which a tight limit could refuse. Also the removal through the
// directory walked to.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "input.h"
#include "result_file.h"
#include "result_walk_linux.h"
#include "temp_dir.h"
#include "test_names.h"

namespace {

// How many times the test program has asked for memory while counting; -1
// while not counting.
thread_local int allocations = -1;

void* allocate(std::size_t size) noexcept {
  if (allocations >= 0) ++allocations;
  return std::malloc(size == 0 ? 1 : size);
}

// Kept out of line: where the compiler sees free take what operator new gave,
// it takes them for a mismatched pair.
[[gnu::noinline]] void deallocate(void* p) noexcept {
  std::free(p);
}

}  // namespace

// Every allocation of the test program goes through allocate, so that a row
// can count those that a call makes; each form pairs with free.
void* operator new(std::size_t size) {
  if (void* const p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* const p = allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
void operator delete(void* p) noexcept {
  deallocate(p);
}
void operator delete[](void* p) noexcept {
  deallocate(p);
}
void operator delete(void* p, std::size_t) noexcept {
  deallocate(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  deallocate(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  deallocate(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  deallocate(p);
}

namespace {

namespace fs = std::filesystem;

// Paths in the rows begin with one of these:
//   $D/  a directory of the test's own, open to its owner only;
//   $S/  a sticky directory that anyone may write to, of the test's own ($D/sticky);
//   $T/  right in /tmp, the system's sticky directory, under names of the row's own.
// A link's target may also be $I, the input's own link in /proc
// (/proc/self/fd/N), as /dev/stdin leads to standard input's.
// Every entry the test makes belongs to the planter: the test's own user, or,
// when the test runs as root, a user that is not root (root owns /tmp).
struct Entry {
  enum Kind { file, link, hard_link, directory, fifo } kind = file;
  std::string path;
  std::string target{};    // a link's
  bool read_only = false;  // a file's: mode 0444, which stops all but root from writing it
};

Entry file(std::string path) {
  return {.kind = Entry::file, .path = std::move(path)};
}
Entry read_only_file(std::string path) {
  return {.kind = Entry::file, .path = std::move(path), .read_only = true};
}
Entry hard_link(std::string path, std::string target) {
  return {.kind = Entry::hard_link, .path = std::move(path), .target = std::move(target)};
}
Entry link(std::string path, std::string target) {
  return {.kind = Entry::link, .path = std::move(path), .target = std::move(target)};
}
Entry directory(std::string path) {
  return {.kind = Entry::directory, .path = std::move(path)};
}
Entry fifo(std::string path) {
  return {.kind = Entry::fifo, .path = std::move(path)};
}

// Who walks: the planter of every entry, or a stranger, a user who owns
// neither the entries nor /tmp.
enum class Caller { planter, stranger };

struct WalkRow {
  std::string name;
  std::vector<Entry> entries{};
  std::string walked = "$D/test.fzz";
  Caller caller = Caller::stranger;
  // The file the walk opens, made by it where nothing was; empty when it refuses.
  std::string opens{};
  // The walk keeps the directory the file lies in: the file is the name's own
  // entry, reached through no link, and can be removed through it.
  bool own_entry = false;
  std::string not_made{};  // a path that the walk must leave without an entry
  // Why it refuses, in the words of the line on standard error.
  std::string why{};
  // The file that the walk is told is the input; none when empty.
  std::string input{};
  // The walk says that the name leads to the input, and neither opens nor refuses.
  bool is_input = false;
};

using row_printing::PrintTo;

// A chain of links from $D/test.fzz to $D/mine, as many as given.
std::vector<Entry> chain_of(int links) {
  std::vector<Entry> entries = {file("$D/mine")};
  for (int i = 0; i < links; ++i) {
    const std::string from = i == 0 ? "$D/test.fzz" : "$D/link" + std::to_string(i);
    const std::string to = i + 1 == links ? "mine" : "link" + std::to_string(i + 1);
    entries.push_back(link(from, to));
  }
  return entries;
}

// "./" over and over, as long as asked: a link target that leads nowhere new.
std::string dots(std::size_t length) {
  std::string path;
  while (path.size() + 2 <= length) path += "./";
  return path;
}

std::vector<WalkRow> walk_rows() {
  return {
      // Entries of another user in a sticky directory of a third.
      {.name = "PlantedLinkInStickyDirectoryIsNotFollowed",
       .entries = {file("$D/victim"), link("$T/test.fzz", "$D/victim")},
       .walked = "$T/test.fzz",
       .why = "link in a shared directory owned by another user, not followed"},
      {.name = "PlantedDanglingLinkInStickyDirectoryIsNotFollowed",
       .entries = {link("$T/test.fzz", "$D/created")},
       .walked = "$T/test.fzz",
       .not_made = "$D/created",
       .why = "link in a shared directory owned by another user, not followed"},
      {.name = "OthersFileInStickyDirectoryIsNotOpened",
       .entries = {file("$T/test.fzz")},
       .walked = "$T/test.fzz",
       .why = "file in a shared directory owned by another user, not opened"},
      // Every link on the way is judged by the directory it lies in, not only
      // the first: another user's link may wait behind a trusted one.
      {.name = "PlantedSecondLinkInStickyDirectoryIsNotFollowed",
       .entries = {file("$D/victim"), link("$S/test.fzz", "$T/results.bin"),
                   link("$T/results.bin", "$D/victim")},
       .walked = "$S/test.fzz",
       .why = "link in a shared directory owned by another user, not followed"},
      {.name = "PlantedLinkAmongTheTargetsDirectoriesIsNotFollowed",
       .entries = {file("$D/victim"), link("$S/test.fzz", "$T/via/victim"), link("$T/via", "$D")},
       .walked = "$S/test.fzz",
       .why = "link in a shared directory owned by another user, not followed"},
      {.name = "PlantedLinkInASharedSubdirectoryIsNotFollowed",
       .entries = {file("$D/victim"), link("$D/test.fzz", "$T/results.bin"),
                   link("$T/results.bin", "$D/victim")},
       .why = "link in a shared directory owned by another user, not followed"},

      // The caller's own entries, and the directory owner's, are followed and opened.
      {.name = "OwnLinkInStickyDirectoryIsFollowed",
       .entries = {file("$D/mine"), link("$T/test.fzz", "$D/mine")},
       .walked = "$T/test.fzz",
       .caller = Caller::planter,
       .opens = "$D/mine"},
      {.name = "ChainOfOwnLinksInStickyDirectoryIsFollowed",
       .entries = {file("$D/mine"), link("$T/test.fzz", "$T/results.bin"),
                   link("$T/results.bin", "$D/mine")},
       .walked = "$T/test.fzz",
       .caller = Caller::planter,
       .opens = "$D/mine"},
      {.name = "OwnFileInStickyDirectoryIsOpened",
       .entries = {file("$T/test.fzz")},
       .walked = "$T/test.fzz",
       .caller = Caller::planter,
       .opens = "$T/test.fzz",
       .own_entry = true},
      {.name = "DirectoryOwnersLinkInStickyDirectoryIsFollowed",
       .entries = {file("$D/mine"), link("$S/test.fzz", "$D/mine")},
       .walked = "$S/test.fzz",
       .opens = "$D/mine"},
      {.name = "DirectoryOwnersFileInStickyDirectoryIsOpened",
       .entries = {file("$S/test.fzz")},
       .walked = "$S/test.fzz",
       .opens = "$S/test.fzz",
       .own_entry = true},
      {.name = "OthersLinkInAPlainSubdirectoryIsFollowed",
       .entries = {file("$D/mine"), directory("$D/plain"),
                   link("$S/test.fzz", "../plain/results.bin"),
                   link("$D/plain/results.bin", "../mine")},
       .walked = "$S/test.fzz",
       .opens = "$D/mine"},
      {.name = "OthersFileInAPlainDirectoryIsOpened",
       .entries = {file("$D/test.fzz")},
       .opens = "$D/test.fzz",
       .own_entry = true},
      // The everyday run in /tmp: no entry of the name there yet.
      {.name = "ResultCreatedInOthersStickyDirectory",
       .walked = "$T/test.fzz",
       .opens = "$T/test.fzz",
       .own_entry = true},

      // What no caller gets.
      {.name = "AsManyLinksAsTheKernelFollowsAreFollowed",
       .entries = chain_of(platform::most_links),
       .caller = Caller::planter,
       .opens = "$D/mine"},
      {.name = "OneLinkMoreIsRefused",
       .entries = chain_of(platform::most_links + 1),
       .caller = Caller::planter,
       .why = "Too many levels of symbolic links"},
      {.name = "LinkToItselfIsRefused",
       .entries = {link("$D/test.fzz", "test.fzz")},
       .caller = Caller::planter,
       .why = "Too many levels of symbolic links"},
      {.name = "NameOfADirectoryIsRefused",
       .entries = {directory("$D/test.fzz")},
       .caller = Caller::planter,
       .why = "Is a directory"},
      {.name = "LinkEndingInADirectoryIsRefused",
       .entries = {directory("$D/sub"), link("$D/test.fzz", "sub/")},
       .caller = Caller::planter,
       .why = "Is a directory"},
      {.name = "FileOnTheWayAsADirectoryIsRefused",
       .entries = {file("$D/mine")},
       .walked = "$D/mine/test.fzz",
       .caller = Caller::planter,
       .not_made = "$D/mine/test.fzz",
       .why = "Not a directory"},
      {.name = "FifoWithoutReaderFailsAtOnce",
       .entries = {fifo("$D/test.fzz")},
       .caller = Caller::planter,
       .why = "No such device or address"},
      // The walk holds what is left of the path in a buffer of the system's
      // largest path: a link's target with the rest of the name after it must
      // fit there.
      {.name = "LongLinkTargetIsFollowed",
       .entries = {file("$D/mine"), link("$D/test.fzz", dots(PATH_MAX - 100) + "mine")},
       .caller = Caller::planter,
       .opens = "$D/mine"},
      {.name = "LinkTargetAndTheRestLongerThanAPathAreRefused",
       .entries = {file("$D/mine"), link("$D/dots", dots(PATH_MAX - 100))},
       .walked = "$D/dots/" + dots(100) + "mine",
       .caller = Caller::planter,
       .why = "File name too long"},

      // A name that leads to the input: told from what the walk found, with
      // no open for writing, which a read-only input would refuse to all but
      // root, and which whoever watches the input would see.
      {.name = "LinkToAReadOnlyInputIsNotOpened",
       .entries = {read_only_file("$D/data"), link("$D/test.fzz", "data")},
       .caller = Caller::planter,
       .input = "$D/data",
       .is_input = true},
      {.name = "HardLinkToAReadOnlyInputIsNotOpened",
       .entries = {read_only_file("$D/data"), hard_link("$D/test.fzz", "$D/data")},
       .caller = Caller::planter,
       .input = "$D/data",
       .is_input = true},
      {.name = "HardLinkToAWritableInputIsNotOpened",
       .entries = {file("$D/data"), hard_link("$D/test.fzz", "$D/data")},
       .caller = Caller::planter,
       .input = "$D/data",
       .is_input = true},
      {.name = "LinkThroughProcToTheInputIsNotOpened",
       .entries = {read_only_file("$D/data"), link("$D/test.fzz", "$I")},
       .caller = Caller::planter,
       .input = "$D/data",
       .is_input = true},
      {.name = "FileBesideTheInputIsOpened",
       .entries = {read_only_file("$D/data"), file("$D/test.fzz")},
       .caller = Caller::planter,
       .opens = "$D/test.fzz",
       .own_entry = true,
       .input = "$D/data"},
  };
}

// The planter when the test runs as root: any user but root.
constexpr uid_t planter_under_root = 65534;

class ResultWalk : public testing::TestWithParam<WalkRow> {
 protected:
  void SetUp() override {
    planter_ = ::geteuid() == 0 ? planter_under_root : ::geteuid();
    stranger_ = planter_ + 1;
    prefix_ = "/tmp/content_check-walk-" +
              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-";
    fs::create_directory(sticky());
    fs::permissions(sticky(), fs::perms::all | fs::perms::sticky_bit, fs::perm_options::replace);
    own(dir_.path());
    own(sticky());
  }

  void TearDown() override {
    for (const std::string& path : in_tmp_) ::unlink(path.c_str());
    if (input_fd_ >= 0) ::close(input_fd_);
  }

  fs::path sticky() const { return dir_.path() / "sticky"; }

  std::string expand(const std::string& path) {
    if (path.starts_with("$T/")) {
      const std::string name = prefix_ + path.substr(3, path.find('/', 3) - 3);
      if (std::find(in_tmp_.begin(), in_tmp_.end(), name) == in_tmp_.end()) in_tmp_.push_back(name);
      return prefix_ + path.substr(3);
    }
    if (path.starts_with("$D")) return dir_.path().string() + path.substr(2);
    if (path.starts_with("$S")) return sticky().string() + path.substr(2);
    if (path == "$I") return "/proc/self/fd/" + std::to_string(input_fd_);
    return path;
  }

  // Gives the entry to the planter, where the test runs as root.
  void own(const fs::path& path) {
    if (::geteuid() == 0) {
      ASSERT_EQ(::lchown(path.c_str(), planter_, planter_), 0) << path;
    }
  }

  void make(const Entry& e) {
    const std::string path = expand(e.path);
    switch (e.kind) {
      case Entry::file:
        std::ofstream(path, std::ios::binary) << "old";
        if (e.read_only)
          fs::permissions(path,
                          fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        break;
      case Entry::link:
        fs::create_symlink(expand(e.target), path);
        break;
      case Entry::hard_link:
        fs::create_hard_link(expand(e.target), path);
        break;
      case Entry::directory:
        fs::create_directory(path);
        break;
      case Entry::fifo:
        ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
        break;
    }
    own(path);
  }

  TempDir dir_{"walk"};
  int input_fd_ = -1;  // the input, open for reading, when the row names one
  uid_t planter_ = 0;
  uid_t stranger_ = 0;
  std::string prefix_;
  std::vector<std::string> in_tmp_;  // made right in /tmp, to be removed again
};

TEST_P(ResultWalk, FollowsOnlyTrustedEntries) {
  const WalkRow& row = GetParam();
  const bool in_tmp = row.walked.starts_with("$T/") ||
                      std::any_of(row.entries.begin(), row.entries.end(),
                                  [](const Entry& e) { return e.path.starts_with("$T/"); });
  struct stat tmp {};
  if (in_tmp && (::stat("/tmp", &tmp) != 0 || (tmp.st_mode & S_ISVTX) == 0 ||
                 (tmp.st_mode & S_IWOTH) == 0 || tmp.st_uid == planter_ || tmp.st_uid == stranger_))
    GTEST_SKIP() << "/tmp is not a sticky directory of another user here";
  platform::FileIdentity input{};
  for (const Entry& e : row.entries) {
    ASSERT_NO_FATAL_FAILURE(make(e));
    if (e.path != row.input) continue;
    // Its identity as the run has it: from the file open for reading.
    input_fd_ = ::open(expand(row.input).c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    ASSERT_EQ(::fstat(input_fd_, &st), 0) << row.input;
    input = platform::identity_of(st);
  }
  const uid_t caller = row.caller == Caller::planter ? planter_ : stranger_;
  const std::string walked = expand(row.walked);

  // A walk that waited for a FIFO's reader would end the tests here.
  ::alarm(30);
  allocations = 0;
  const platform::ResultPlace place = platform::open_result_as(walked.c_str(), caller, input);
  const int asked = std::exchange(allocations, -1);
  ::alarm(0);

  EXPECT_EQ(asked, 0) << "times the walk asked for memory";

  EXPECT_EQ(place.is_input, row.is_input);
  if (row.opens.empty()) {
    EXPECT_FALSE(place.file) << walked;
    char words[256];
    if (row.is_input)
      EXPECT_TRUE(place.why.error == 0 && place.why.reason == nullptr)
          << "refused: " << platform::describe(place.why, words);
    else
      EXPECT_EQ(platform::describe(place.why, words), row.why);
  } else {
    ASSERT_TRUE(place.file) << walked;
    struct stat opened {
    }, expected{};
    ASSERT_EQ(::fstat(place.file.get(), &opened), 0);
    ASSERT_EQ(::lstat(expand(row.opens).c_str(), &expected), 0) << row.opens;
    EXPECT_EQ(opened.st_dev, expected.st_dev);
    EXPECT_EQ(opened.st_ino, expected.st_ino);
  }
  EXPECT_EQ(static_cast<bool>(place.directory), row.own_entry);
  if (!row.not_made.empty()) {
    std::error_code error;
    EXPECT_FALSE(fs::exists(fs::symlink_status(expand(row.not_made), error))) << row.not_made;
  }
  // The walk opens; it never writes or cuts.
  for (const Entry& e : row.entries) {
    if (e.kind == Entry::file) {
      EXPECT_EQ(read_all(expand(e.path)), "old") << e.path;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ResultWalk, testing::ValuesIn(walk_rows()),
                         [](const auto& row) { return row.param.name; });

}  // namespace
