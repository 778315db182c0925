// The texts, statuses and orders of steps that callers and scripts rely on,
// pinned byte for byte and step for step.
#include <gtest/gtest.h>

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
  std::vector<std::string> steps;  // written out here, not read from the table
  int status;                      // when every step succeeds
  int status_if_store_fails;
  int status_if_close_fails;
};

using row_printing::PrintTo;

class Endings : public testing::TestWithParam<EndingCase> {};

TEST_P(Endings, TakeTheirStepsInTheirOrder) {
  const EndingCase& c = GetParam();
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
    testing::Values(EndingCase{"file open error", open_error, {"say File Open Error!!"}, 1, 1, 1},
                    EndingCase{"result file open error",
                               result_error,
                               {"say Result File Open Error!!", "close input"},
                               1,
                               1,
                               1},
                    EndingCase{"vacant file",
                               vacant,
                               {"store 0", "say vacant file", "close result", "close input"},
                               0,
                               -1,
                               -1},
                    EndingCase{"found",
                               found,
                               {"store 1", "close result", "close input", "say End of duty"},
                               0,
                               -1,
                               -1},
                    EndingCase{"zeros only",
                               zeros_only,
                               {"close input", "say End of duty(0)", "store 0", "close result"},
                               0,
                               -1,
                               -1},
                    EndingCase{
                        "read error",
                        read_error,
                        {"say File Read Error!!", "close result", "close input", "remove result"},
                        1,
                        1,
                        1}),
    [](const testing::TestParamInfo<EndingCase>& c) { return test_name(c.param.what); });

TEST(Endings, FollowTheScansAnswer) {
  EXPECT_EQ(&ending_after(ScanResult::empty), &vacant);
  EXPECT_EQ(&ending_after(ScanResult::found), &found);
  EXPECT_EQ(&ending_after(ScanResult::not_found), &zeros_only);
  EXPECT_EQ(&ending_after(ScanResult::read_error), &read_error);
}

TEST(Endings, KeepTheirExactTextsVerdictsAndStatuses) {
  struct Expected {
    const Ending& ending;
    const char* line;
    int verdict;
  };
  for (const Expected& e :
       {Expected{open_error, "File Open Error!!", no_verdict},
        Expected{result_error, "Result File Open Error!!", no_verdict},
        Expected{vacant, "vacant file", 0x00}, Expected{found, "End of duty", 0x01},
        Expected{zeros_only, "End of duty(0)", 0x00},
        Expected{read_error, "File Read Error!!", no_verdict}}) {
    EXPECT_EQ(e.ending.line, e.line);
    EXPECT_EQ(e.ending.verdict, e.verdict) << e.line;
  }
  EXPECT_EQ(status_verdict_lost, -1);
  EXPECT_EQ(status_output_lost, 2);
}

}  // namespace
