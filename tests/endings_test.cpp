// The texts, statuses and orders of steps that callers and scripts rely on,
// pinned byte for byte and step for step.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "endings.h"
#include "reasons.h"
#include "test_names.h"

namespace {

// Records each step as a word, and fails the store, the close or the line
// when asked to.
struct Recorder final : EndingActions {
  bool store_fails = false;
  bool close_fails = false;
  bool say_fails = false;
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
  bool say(std::string_view line) override {
    done.push_back("say " + std::string(line));
    return !say_fails;
  }
  void remove_result() override { done.push_back("remove result"); }
};

struct EndingCase {
  const char* name;
  const Ending& ending;
  std::optional<ScanResult> after{};  // the scan's answer that leads here, if any
  std::vector<std::string> steps{};   // written out here, not read from the table
  int status = 0;                     // when every step succeeds
  int status_if_store_fails = 0;
  int status_if_close_fails = 0;
  int status_if_say_fails = 0;  // a console line did not go out
  int status_if_all_fail = 0;   // the verdict and a line lost
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
  EXPECT_EQ(end_with(c.ending, recorder).status, c.status);
  EXPECT_EQ(recorder.done, c.steps);

  Recorder store_fails;
  store_fails.store_fails = true;
  EXPECT_EQ(end_with(c.ending, store_fails).status, c.status_if_store_fails);
  EXPECT_EQ(store_fails.done, c.steps) << "a failed store stops no step";

  Recorder close_fails;
  close_fails.close_fails = true;
  EXPECT_EQ(end_with(c.ending, close_fails).status, c.status_if_close_fails);
  EXPECT_EQ(close_fails.done, c.steps) << "a failed close stops no step";

  Recorder say_fails;
  say_fails.say_fails = true;
  EXPECT_EQ(end_with(c.ending, say_fails).status, c.status_if_say_fails);
  EXPECT_EQ(say_fails.done, c.steps) << "a line that did not go out stops no step";

  Recorder all_fail;
  all_fail.store_fails = all_fail.close_fails = all_fail.say_fails = true;
  EXPECT_EQ(end_with(c.ending, all_fail).status, c.status_if_all_fail);
}

// What was lost is told by what the status became, the verdict before the line.
TEST(EndWith, SaysWhatWasLost) {
  Recorder say_fails;
  say_fails.say_fails = true;
  EXPECT_EQ(end_with(found, say_fails).lost, Lost::line);
  EXPECT_EQ(end_with(open_error, say_fails).lost, Lost::line);
  Recorder both_fail;
  both_fail.store_fails = both_fail.say_fails = true;
  EXPECT_EQ(end_with(zeros_only, both_fail).lost, Lost::verdict);
  Recorder none_fails;
  EXPECT_EQ(end_with(vacant, none_fails).lost, Lost::nothing);
  EXPECT_EQ(end_with(read_error, both_fail).lost, Lost::line) << "no verdict to lose";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Endings,
    testing::Values(
        EndingCase{.name = "file open error",
                   .ending = open_error,
                   .steps = {"say File Open Error!!"},
                   .status = 1,
                   .status_if_store_fails = 1,
                   .status_if_close_fails = 1,
                   .status_if_say_fails = 1,
                   .status_if_all_fail = 1},
        EndingCase{.name = "result file open error",
                   .ending = result_error,
                   .steps = {"say Result File Open Error!!", "close input"},
                   .status = 1,
                   .status_if_store_fails = 1,
                   .status_if_close_fails = 1,
                   .status_if_say_fails = 1,
                   .status_if_all_fail = 1},
        EndingCase{.name = "vacant file",
                   .ending = vacant,
                   .after = ScanResult::empty,
                   .steps = {"store 0", "say vacant file", "close result", "close input"},
                   .status_if_store_fails = -1,
                   .status_if_close_fails = -1,
                   .status_if_say_fails = 2,
                   .status_if_all_fail = -1},
        EndingCase{.name = "found",
                   .ending = found,
                   .after = ScanResult::found,
                   .steps = {"store 1", "close result", "close input", "say End of duty"},
                   .status_if_store_fails = -1,
                   .status_if_close_fails = -1,
                   .status_if_say_fails = 2,
                   .status_if_all_fail = -1},
        EndingCase{.name = "zeros only",
                   .ending = zeros_only,
                   .after = ScanResult::not_found,
                   .steps = {"close input", "say End of duty(0)", "store 0", "close result"},
                   .status_if_store_fails = -1,
                   .status_if_close_fails = -1,
                   .status_if_say_fails = 2,
                   .status_if_all_fail = -1},
        EndingCase{
            .name = "read error",
            .ending = read_error,
            .after = ScanResult::read_error,
            .steps = {"say File Read Error!!", "close result", "close input", "remove result"},
            .status = 1,
            .status_if_store_fails = 1,
            .status_if_close_fails = 1,
            .status_if_say_fails = 1,
            .status_if_all_fail = 1}),
    [](const testing::TestParamInfo<EndingCase>& c) { return test_name(c.param.name); });

// The line on standard error: the name, the reason, and a reason too long for
// the line cut to fit. No byte of a name reaches a terminal as a control: it
// is shown as an escape that the name itself cannot forge, and a name that
// would not be seen whole is quoted.
TEST(FailureLine, NamesTheFileAndSaysWhy) {
  struct Row {
    std::string name;
    std::string reason = "No such file or directory";
    Charset charset = Charset::utf8;
    std::string line;
  };
  const Row rows[] = {
      {.name = "missing.bin", .line = "content_check: missing.bin: No such file or directory"},
      {.name = "my data.bin", .line = "content_check: my data.bin: No such file or directory"},
      // Names that would not be seen whole, or that open with a quote.
      {.name = "", .reason = "Is a directory", .line = "content_check: '': Is a directory"},
      {.name = "data.bin ", .line = "content_check: 'data.bin ': No such file or directory"},
      {.name = "  data.bin", .line = "content_check: '  data.bin': No such file or directory"},
      {.name = "'q' ", .line = R"(content_check: '\'q\' ': No such file or directory)"},
      {.name = "'q'", .line = R"(content_check: '\'q\'': No such file or directory)"},
      {.name = "it's", .line = "content_check: it's: No such file or directory"},
      // A backslash is doubled, so that no name shows as an escape it is not.
      {.name = R"(a\x9b)", .line = R"(content_check: a\\x9b: No such file or directory)"},
      // DEL, a CSI and an OSC raw and UTF-8-encoded, a byte of no sequence.
      {.name = "x\x7f"
               "y",
       .line = R"(content_check: x\x7fy: No such file or directory)"},
      {.name = "x\x9b"
               "2J\x9d"
               "0;PWNED\x9c",
       .line = R"(content_check: x\x9b2J\x9d0;PWNED\x9c: No such file or directory)"},
      {.name = "x\xc2\x9b"
               "8m",
       .line = R"(content_check: x\xc2\x9b8m: No such file or directory)"},
      {.name = "\xff\xfe\xc3", .line = R"(content_check: \xff\xfe\xc3: No such file or directory)"},
      // Overlong, surrogate and past U+10FFFF: no valid sequence, byte by byte.
      {.name = "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80",
       .line = R"(content_check: \xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80: No such file or directory)"},
      // Marks that reorder the line, and a line separator.
      {.name = "a\xe2\x80\xae"
               "b\xe2\x80\xa8",
       .line = R"(content_check: a\xe2\x80\xaeb\xe2\x80\xa8: No such file or directory)"},
      // Printable UTF-8 stays as it is, and a lead byte cut short is escaped
      // alone, the character after it kept.
      {.name = "caf\xc3\xa9-\xe4\xb8\x80-\xf0\x9f\x98\x80",
       .line = "content_check: caf\xc3\xa9-\xe4\xb8\x80-\xf0\x9f\x98\x80: No such file or "
               "directory"},
      {.name = "\xe4\xc3\xa9", .line = "content_check: \\xe4\xc3\xa9: No such file or directory"},
      // One byte a character: C1 bytes escaped wherever they stand, the
      // rest of the upper half kept, even a UTF-8 lead before one.
      {.name = "\xc3\x9b"
               "2J\xe9",
       .charset = Charset::eight_bit,
       .line = "content_check: \xc3\\x9b2J\xe9: No such file or directory"},
      {.name = "test.fzz",
       .reason = std::string(2000, 'r'),
       .line = "content_check: test.fzz: " + std::string(1024 - 25, 'r')},
  };
  for (const Row& row : rows) {
    FailureLine into;
    EXPECT_EQ(failure_line(into, row.name, row.reason, row.charset), row.line) << row.line;
  }
}

// Even a name of the longest length, every byte escaped, leaves room for the
// reason: only a reason longer than any the system has is cut.
TEST(FailureLine, HasRoomForTheLongestEscapedName) {
  const std::string name(127, '\x9b');
  const std::string reason(200, 'r');
  FailureLine into;
  const std::string_view line = failure_line(into, name, reason);
  EXPECT_TRUE(line.ends_with(": " + reason)) << line;
}

// The program's own reasons, pinned word for word, and each written as it is
// in the man page, which tells the user what it means.
TEST(Reasons, ArePinnedAndInTheManPage) {
  const std::vector<std::string> pinned = {
      "name longer than 127 bytes, not opened",
      "link in a shared directory owned by another user, not followed",
      "file in a shared directory owned by another user, not opened",
      "replaced by another entry while it was opened",
      "both result names lead to the input, which is never written",
      "no memory for the scan",
      "the data ended short of the file's length and did not go on",
      "the line was not taken",
      "not stored",
  };
  EXPECT_EQ(std::vector<std::string>(std::begin(reasons::all), std::end(reasons::all)), pinned);
  EXPECT_EQ(std::string(reasons::no_arguments),
            "content_check: takes no arguments, ignored; type the file's name at the prompt");
#ifdef CONTENT_CHECK_MAN_PAGE
  std::ifstream file(CONTENT_CHECK_MAN_PAGE);
  ASSERT_TRUE(file) << CONTENT_CHECK_MAN_PAGE;
  std::stringstream page;
  page << file.rdbuf();
  for (const std::string& reason : pinned)
    EXPECT_NE(page.str().find("\n.B " + reason + "\n"), std::string::npos)
        << "the man page does not list: " << reason;
#endif
}

}  // namespace
