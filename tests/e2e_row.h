// A row of the end-to-end table, and how one is checked: why it cannot run
// here, the directory laid out, the one run, and what the run is compared with.
#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dialogue.h"
#include "e2e_fixtures.h"
#include "e2e_machine.h"
#include "e2e_run.h"
#include "e2e_trace.h"
#include "page_cache.h"
#include "runner.h"
#include "temp_dir.h"
#include "test_names.h"

enum class Platform { any, linux_only, windows_only };

// A working directory that anyone may write to and whose entries only their
// owners may remove, as /tmp is; owned by the caller or by nobody.
enum class Sticky { none, callers, nobodys };

// Standard error as a row expects it: empty, or the one line of a failure
// ending. On Linux that line is the row's own, byte for byte. Under Wine the
// reason is the system's message, whose words vary with its version and
// language: there the line's name part, and a reason after it; a line with
// no name is the program's own words, byte for byte there too.
inline void expect_failure_line(const std::string& err, const std::string& expected) {
  if (expected.empty() || !runner_options().windows_build) {
    EXPECT_EQ(err, expected.empty() ? "" : expected + "\n");
    return;
  }
  const std::size_t name_end = expected.find(": ", std::string_view("content_check: ").size());
  // A line of the program's own words alone is the same everywhere.
  if (name_end == std::string::npos) {
    EXPECT_EQ(err, expected + "\r\n");
    return;
  }
  const std::string name_part = expected.substr(0, name_end + 2);
  EXPECT_TRUE(err.starts_with(name_part)) << err;
  EXPECT_TRUE(err.ends_with("\r\n")) << err;
  EXPECT_GT(err.size(), name_part.size() + 2) << "no reason: " << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

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
  // The size past which the program's writes to files fail, as `ulimit -f`
  // sets it; at 0 nothing reaches a file, standard output's either.
  rlim_t file_size_limit = RLIM_INFINITY;
  std::string locale = "C.UTF-8";        // the program's LC_ALL, on Linux
  std::vector<std::string> arguments{};  // given to the program, which ignores them
  bool one_processor = false;            // the program may run on one processor only
  bool no_cachestat = false;             // the kernel is one without cachestat (Linux before 6.5)
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
  // The pages of each cold entry that are in the page cache after the run:
  // those the program read through it.
  std::optional<std::int64_t> cached_after{};
};

using row_printing::PrintTo;

// The row as it runs on this machine: a sysfs row's name is an attribute found
// here, or none.
inline Row on_this_machine(Row row) {
  if (row.sysfs != Sysfs::none) {
    const std::string attribute = sysfs_attribute(row.sysfs);
    if (!attribute.empty()) {
      row.typed = attribute + "\n";
      row.sysfs = Sysfs::none;
    }
  }
  return row;
}

// Why the row cannot run here, as a user of this machine; empty when it can.
inline std::string why_not_here(const Row& row) {
  const RunnerOptions& options = runner_options();
  const bool root = ::geteuid() == 0;
  if (row.only == (options.windows_build ? Platform::linux_only : Platform::windows_only))
    return "a case for the other platform";
  if (row.failing_reads && options.fail_read_library.empty()) return "no --fail-read library given";
  if (row.read_only_dir && root) return "permission bits do not stop root";
  const bool needs_root =
      row.sticky == Sticky::nobodys || std::any_of(row.fixtures.begin(), row.fixtures.end(),
                                                   [](const Fixture& f) { return f.nobody; });
  if (needs_root && !root) return "giving files to nobody needs root";
  if (row.sysfs != Sysfs::none)
    return std::string("no sysfs attribute here that this user can read delivers ") +
           (row.sysfs == Sysfs::nothing ? "nothing" : "text");
  // The setting is shared by every user of the machine, and so is the lock
  // that guards it.
  if (row.kernel_links_unprotected && !root) return "turning fs.protected_symlinks off needs root";
  return {};
}

class InTempDir : public testing::Test {
 protected:
  // Makes the row's fixtures, runs the program once and checks everything it
  // shows: console bytes, status, result file, and every other entry as it was.
  void check(const Row& given) {
    const Row row = on_this_machine(given);
    if (const std::string why = why_not_here(row); !why.empty()) GTEST_SKIP() << why;
    std::optional<testing::ScopedTrace> attribute;
    if (given.sysfs != Sysfs::none) attribute.emplace(__FILE__, __LINE__, row.typed);
    std::optional<KernelLinkRuleOff> kernel_rule_off;
    if (row.kernel_links_unprotected && !kernel_rule_off.emplace().off())
      GTEST_SKIP() << "fs.protected_symlinks cannot be turned off here";
    if (!starts_under_its_limit(row))
      GTEST_SKIP() << "the program cannot start under the limit (a sanitizer's shadow memory)";

    const std::filesystem::path& dir = dir_.path();
    for (const Fixture& f : row.fixtures) ASSERT_NO_FATAL_FAILURE(make(dir, f));
    Snapshot before = snapshot(dir);
    // Made cold after the snapshot, which reads the small ones.
    for (const Fixture& f : row.fixtures) {
      if (!f.cold) continue;
      ASSERT_TRUE(make_cold(dir / f.name)) << f.name;
      if (const std::string why = why_not_cold(dir / f.name); !why.empty()) GTEST_SKIP() << why;
    }
    FifoEnds fifo_ends;
    ASSERT_NO_FATAL_FAILURE(fifo_ends.start(dir, row.fixtures));
    const Finished run = run_once(row);
    fifo_ends.stop();
    if (row.failing_reads && run.status == 77 && run.err.starts_with("fail_read: "))
      GTEST_SKIP() << run.err;

    for (const Fixture& f : row.fixtures) {
      if (f.cold && row.cached_after) {
        EXPECT_EQ(cached_pages(dir / f.name), *row.cached_after) << f.name;
      }
    }
    expect_console(row, run);
    if (traced(row)) expect_steps(row);
    expect_entries(row, std::move(before));
  }

  // Whether the program starts at all under the row's memory limit.
  bool starts_under_its_limit(const Row& row) {
    return row.data_limit == RLIM_INFINITY ||
           !run_in(dir_.path(), "", Input::pipe, Output::file, scratch_.path(),
                   {.data_limit = row.data_limit})
                .out.empty();
  }

  // Wine is not traced: there the row checks all else.
  static bool traced(const Row& row) { return row.traced && !runner_options().windows_build; }
  static Output output_of(const Row& row) { return traced(row) ? Output::terminal : row.output; }
  std::filesystem::path trace() const { return scratch_.path() / "trace"; }

  // The one run, in the working directory as the row wants it, which is given
  // back to its owner afterwards.
  Finished run_once(const Row& row) {
    namespace fs = std::filesystem;
    const fs::path& dir = dir_.path();
    const fs::perms write =
        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if (row.read_only_dir) fs::permissions(dir, write, fs::perm_options::remove);
    if (row.sticky != Sticky::none)
      fs::permissions(dir, fs::perms::all | fs::perms::sticky_bit, fs::perm_options::replace);
    if (row.sticky == Sticky::nobodys) ::chown(dir.c_str(), nobody_uid(), static_cast<gid_t>(-1));
    const Watch watch{.failing_reads = row.failing_reads,
                      .trace = traced(row) ? trace() : fs::path(),
                      .data_limit = row.data_limit,
                      .file_size_limit = row.file_size_limit,
                      .one_processor = row.one_processor,
                      .no_cachestat = row.no_cachestat,
                      .locale = row.locale,
                      .arguments = row.arguments};
    Finished run = run_in(dir, row.typed, row.input, output_of(row), scratch_.path(), watch);
    ::chown(dir.c_str(), ::geteuid(), static_cast<gid_t>(-1));
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace);
    return run;
  }

  // The console bytes, the status, and how much of standard input was taken.
  static void expect_console(const Row& row, const Finished& run) {
    const Output output = output_of(row);
    // A terminal shows a line end as a carriage return and a newline.
    const std::string nl =
        runner_options().windows_build || output == Output::terminal ? "\r\n" : "\n";
    if (output == Output::file && row.file_size_limit != RLIM_INFINITY) {
      // A file takes no byte past the limit.
      EXPECT_EQ(run.out, dialogue(row.ending, nl).substr(0, row.file_size_limit));
    } else if (output == Output::file || output == Output::busy_pipe ||
               output == Output::terminal) {
      EXPECT_EQ(run.out, dialogue(row.ending, nl));
    }
    if (row.ending.status == 1 && row.err.empty())
      ADD_FAILURE() << "a failure ending's row without its line on standard error";
    expect_failure_line(run.err, row.err);
    EXPECT_EQ(run.status, row.status.value_or(row.ending.status) & 0xff);
    // The one line was taken through its newline, and nothing after it.
    const std::size_t newline = row.typed.find('\n');
    EXPECT_EQ(run.unread, newline == std::string::npos ? "" : row.typed.substr(newline + 1));
  }

  // The ending's steps in their order.
  void expect_steps(const Row& row) const {
    ASSERT_TRUE(std::filesystem::exists(trace())) << "strace did not run; install it";
    const std::string input = row.typed.substr(0, row.typed.find('\n'));
    EXPECT_EQ(steps_seen(trace(), dir_.path(), input, row.result.value_or("test.fzz")),
              row.ending.steps);
  }

  // The result file with the verdict, the entries the row changes as it says,
  // every other one as it was, and nothing else created.
  void expect_entries(const Row& row, Snapshot before) const {
    namespace fs = std::filesystem;
    const fs::path& dir = dir_.path();
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
    EXPECT_EQ(after, before);
  }

  TempDir dir_{"run"};      // where the program runs
  TempDir scratch_{"out"};  // its standard input and output
};
