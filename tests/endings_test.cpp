// The texts, statuses and orders of steps that callers and scripts rely on,
// pinned byte for byte and step for step.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "endings.h"
#include "test_names.h"

namespace {

// Records each step as a word, and fails the store or the close when asked to.
struct Recorder final : EndingActions {
  bool store_fails = false;
  bool close_fails = false;
  std::vector<std::string> done;

  bool store_verdict(int verdict) override {
    done.push_back("store " + std::to_string(verdict));
    return !store_fails;
  }
  bool close_result() override {
    done.push_back("close result");
    return !close_fails;
  }
  void close_input() override { done.push_back("close input"); }
  void say(std::string_view line) override { done.push_back("say " + std::string(line)); }
  void remove_result() override { done.push_back("remove result"); }
};

struct EndingCase {
  const char* what;
  const Ending& ending;
  std::optional<ScanResult> after{};  // the scan's answer that leads here, if any
  std::vector<std::string> steps{};   // written out here, not read from the table
  int status = 0;                     // when every step succeeds
  int status_if_store_fails = 0;
  int status_if_close_fails = 0;
};

using row_printing::PrintTo;

class Endings : public testing::TestWithParam<EndingCase> {};

// The steps carry the line and the verdict byte, so a changed text or byte
// fails here as a changed order does.
TEST_P(Endings, TakeTheirStepsInTheirOrder) {
  const EndingCase& c = GetParam();
  if (c.after) {
    EXPECT_EQ(&ending_after(*c.after), &c.ending);
  }

  Recorder recorder;
  EXPECT_EQ(end_with(c.ending, recorder), c.status);
  EXPECT_EQ(recorder.done, c.steps);

  Recorder store_fails;
  store_fails.store_fails = true;
  EXPECT_EQ(end_with(c.ending, store_fails), c.status_if_store_fails);
  EXPECT_EQ(store_fails.done, c.steps) << "a failed store stops no step";

  Recorder close_fails;
  close_fails.close_fails = true;
  EXPECT_EQ(end_with(c.ending, close_fails), c.status_if_close_fails);
  EXPECT_EQ(close_fails.done, c.steps) << "a failed close stops no step";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    testing::Values(
        EndingCase{.what = "file open error",
                   .ending = open_error,
                   .steps = {"say File Open Error!!"},
                   .status = 1,
                   .status_if_store_fails = 1,
                   .status_if_close_fails = 1},
        EndingCase{.what = "result file open error",
                   .ending = result_error,
                   .steps = {"say Result File Open Error!!", "close input"},
                   .status = 1,
                   .status_if_store_fails = 1,
                   .status_if_close_fails = 1},
        EndingCase{.what = "vacant file",
                   .ending = vacant,
                   .after = ScanResult::empty,
                   .steps = {"store 0", "say vacant file", "close result", "close input"},
                   .status_if_store_fails = -1,
                   .status_if_close_fails = -1},
        EndingCase{.what = "found",
                   .ending = found,
                   .after = ScanResult::found,
                   .steps = {"store 1", "close result", "close input", "say End of duty"},
                   .status_if_store_fails = -1,
                   .status_if_close_fails = -1},
        EndingCase{.what = "zeros only",
                   .ending = zeros_only,
                   .after = ScanResult::not_found,
                   .steps = {"close input", "say End of duty(0)", "store 0", "close result"},
                   .status_if_store_fails = -1,
                   .status_if_close_fails = -1},
        EndingCase{
            .what = "read error",
            .ending = read_error,
            .after = ScanResult::read_error,
            .steps = {"say File Read Error!!", "close result", "close input", "remove result"},
            .status = 1,
            .status_if_store_fails = 1,
            .status_if_close_fails = 1}),
    [](const testing::TestParamInfo<EndingCase>& c) { return test_name(c.param.what); });

// The line on standard error: the name as given, even empty, the reason, and
// a note when the name was cut; a reason too long for the line gets its start.
TEST(FailureLine, NamesTheFileAndSaysWhy) {
  struct Row {
    std::string_view name;
    std::string reason;
    bool cut = false;
    std::string line;
  };
  const Row rows[] = {
      {.name = "missing.bin",
       .reason = "No such file or directory",
       .line = "content_check: missing.bin: No such file or directory"},
      {.name = "", .reason = "Is a directory", .line = "content_check: : Is a directory"},
      {.name = "nnn",
       .reason = "No such file or directory",
       .cut = true,
       .line = "content_check: nnn: No such file or directory (name longer than 127 bytes, cut "
               "there)"},
      {.name = "test.fzz",
       .reason = std::string(600, 'r'),
       .line = "content_check: test.fzz: " + std::string(511 - 25, 'r')},
  };
  for (const Row& row : rows) {
    FailureLine into;
    EXPECT_EQ(failure_line(into, row.name, row.reason, row.cut), row.line) << row.line;
  }
}

}  // namespace
