// The result file on each platform: the name it takes, the other one when the
// first leads to the input, the byte put into it, and that only the file made
// for the verdict is removed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "input.h"
#include "result_file.h"
#include "temp_dir.h"
#include "test_names.h"

namespace {

namespace fs = std::filesystem;

// A file with its bytes, or a second name (a hard link) of another file.
struct Entry {
  std::string name;
  std::string bytes{};
  std::string same_as{};  // when not empty: a hard link to this one
  // Nobody may write to it (mode 0444; on Windows the read-only attribute),
  // though root may on Linux.
  bool read_only = false;
};

struct NameRow {
  std::string name;
  std::vector<Entry> entries;
  std::string typed;  // the input's name as typed; it is among the entries
  // Where the verdict goes; none when no result file can be had.
  std::optional<std::string> result;
};

using row_printing::PrintTo;

std::vector<NameRow> name_rows() {
  return {
      {.name = "AnyOtherNameTakesTestFzz",
       .entries = {{.name = "data.bin", .bytes = "x"}},
       .typed = "data.bin",
       .result = "test.fzz"},
      {.name = "NameEndingInTestFzzTakesTest2",
       .entries = {{.name = "mytest.fzz", .bytes = "x"}},
       .typed = "mytest.fzz",
       .result = "test2.fzz"},
      {.name = "TestFzzThatIsTheInputSendsItToTest2",
       .entries = {{.name = "test.fzz", .bytes = "\x01\x02"},
                   {.name = "link", .same_as = "test.fzz"}},
       .typed = "link",
       .result = "test2.fzz"},
      {.name = "Test2ThatIsTheInputSendsItToTestFzz",
       .entries = {{.name = "mytest.fzz", .bytes = "\x05"},
                   {.name = "test2.fzz", .same_as = "mytest.fzz"}},
       .typed = "mytest.fzz",
       .result = "test.fzz"},
      // The input is never opened for writing, so that one that cannot be is
      // examined all the same.
      {.name = "ReadOnlyInputBehindTestFzzSendsItToTest2",
       .entries = {{.name = "in", .bytes = "\x05", .read_only = true},
                   {.name = "test.fzz", .same_as = "in"}},
       .typed = "in",
       .result = "test2.fzz"},
      {.name = "BothNamesTheInputGiveNoResultFile",
       .entries = {{.name = "in", .bytes = "\x05"},
                   {.name = "test.fzz", .same_as = "in"},
                   {.name = "test2.fzz", .same_as = "in"}},
       .typed = "in",
       .result = std::nullopt},
  };
}

class ResultFileName : public testing::TestWithParam<NameRow> {};

// The byte goes to the one name, and no other entry changes: the input least
// of all.
TEST_P(ResultFileName, TakesTheNameThatIsNotTheInput) {
  const NameRow& row = GetParam();
  const TempDir dir("result-name");
  for (const Entry& e : row.entries) {
    if (e.same_as.empty())
      std::ofstream(dir.path() / e.name, std::ios::binary) << e.bytes;
    else
      fs::create_hard_link(dir.path() / e.same_as, dir.path() / e.name);
    if (e.read_only)
      fs::permissions(dir.path() / e.name,
                      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  std::map<std::string, std::string> before;
  for (const fs::directory_entry& e : fs::directory_iterator(dir.path()))
    before[e.path().filename().string()] = read_all(e.path());
  {
    const WorkingDirectory in_dir(dir.path());
    const std::unique_ptr<platform::Input> input = platform::open_input(row.typed.c_str());
    ASSERT_TRUE(input);
    platform::ResultFile result = platform::ResultFile::create(row.typed, input->identity());
    ASSERT_EQ(static_cast<bool>(result), row.result.has_value());
    if (result) {
      EXPECT_TRUE(result.put(0x01));
      EXPECT_TRUE(result.close());
    }
  }
  std::map<std::string, std::string> after;
  for (const fs::directory_entry& e : fs::directory_iterator(dir.path()))
    after[e.path().filename().string()] = read_all(e.path());
  if (row.result) {
    EXPECT_EQ(after[*row.result], "\x01");
    before[*row.result] = "\x01";
  }
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(Table, ResultFileName, testing::ValuesIn(name_rows()),
                         [](const auto& row) { return row.param.name; });

class ResultRemoval : public testing::Test {
 protected:
  void SetUp() override {
    std::ofstream(dir_ / "input", std::ios::binary) << "x";
    input_ = platform::open_input((dir_ / "input").string().c_str());
    ASSERT_TRUE(input_);
  }

  // Creates the result as the run does, in the directory, and closes it.
  platform::ResultFile create_and_close() {
    const WorkingDirectory in_dir(dir_);
    platform::ResultFile result = platform::ResultFile::create("input", input_->identity());
    EXPECT_TRUE(result);
    EXPECT_TRUE(result.put(0x01));
    EXPECT_TRUE(result.close());
    return result;
  }

  TempDir temp_{"removal"};
  const fs::path& dir_ = temp_.path();
  std::unique_ptr<platform::Input> input_;
};

TEST_F(ResultRemoval, RemovesTheFileItCreated) {
  platform::ResultFile result = create_and_close();
  ASSERT_TRUE(fs::exists(dir_ / "test.fzz"));
  const WorkingDirectory in_dir(dir_);
  result.remove();
  EXPECT_FALSE(fs::exists(dir_ / "test.fzz"));
}

TEST_F(ResultRemoval, LeavesAnotherFileThatTookTheName) {
  platform::ResultFile result = create_and_close();
  // Renamed rather than removed, so that the new file cannot reuse its index.
  fs::rename(dir_ / "test.fzz", dir_ / "moved");
  std::ofstream(dir_ / "test.fzz", std::ios::binary) << "other";
  const WorkingDirectory in_dir(dir_);
  result.remove();
  EXPECT_EQ(read_all(dir_ / "test.fzz"), "other");
  EXPECT_TRUE(fs::exists(dir_ / "moved"));
}

#ifndef _WIN32
// Wherever the process has gone since, the file goes from the directory that
// it was created in, and no file of that name elsewhere is touched.
TEST_F(ResultRemoval, GoesThroughTheDirectoryWalkedTo) {
  platform::ResultFile result = create_and_close();
  const TempDir elsewhere("elsewhere");
  std::ofstream(elsewhere.path() / "test.fzz", std::ios::binary) << "other";
  const WorkingDirectory moved(elsewhere.path());
  result.remove();
  EXPECT_FALSE(fs::exists(dir_ / "test.fzz"));
  EXPECT_EQ(read_all(elsewhere.path() / "test.fzz"), "other");
}

// A result reached through a link is the link's file: neither goes.
TEST_F(ResultRemoval, LeavesTheFileBehindALink) {
  std::ofstream(dir_ / "mine", std::ios::binary) << "old";
  fs::create_symlink("mine", dir_ / "test.fzz");
  platform::ResultFile result = create_and_close();
  const WorkingDirectory in_dir(dir_);
  result.remove();
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "test.fzz")));
  EXPECT_EQ(read_all(dir_ / "mine"), "\x01");
}

#endif

}  // namespace
