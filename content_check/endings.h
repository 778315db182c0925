// Every ending of the run as one row: its console line, its verdict byte, its
// exit statuses and the steps it takes in their order. The run and its unit
// tests read this table; the tests that run the program hold their own copy.
#pragma once

#include <span>
#include <string_view>

#include "scan.h"

// No result file is left on this ending.
inline constexpr int no_verdict = -1;

// The exit status of an answer whose verdict byte could not be stored.
inline constexpr int status_verdict_lost = -1;

// The exit status of an answer stored when standard output failed, so that
// nobody saw the ending's line.
inline constexpr int status_output_lost = 2;

// What an ending does, one step at a time.
enum class Step {
  store_verdict,  // write the verdict byte into the result file
  close_result,
  close_input,
  say_line,       // print the ending's line
  remove_result,  // take away the result file made for this run
};

struct Ending {
  std::string_view line{};
  int verdict = no_verdict;  // the result file's one byte
  int status = 0;            // the exit status when nothing was lost
  // When the verdict byte could not be stored, whatever else was lost.
  int status_if_verdict_lost = 0;
  // When a console line, the prompt or the ending's, did not go out.
  int status_if_line_lost = 0;
  std::span<const Step> steps{};
};

// What each order tells a caller who watches the console line come.
namespace ending_steps {
using enum Step;
// No file was opened: the line is all there is.
inline constexpr Step open_error[] = {say_line};
// No result file was made; the input is let go after the line.
inline constexpr Step result_error[] = {say_line, close_input};
// The line comes while both files are still open: the verdict is certain
// when it shows, but the files are settled only when the process has ended.
inline constexpr Step vacant[] = {store_verdict, say_line, close_result, close_input};
// The line comes last: once it shows, the byte 0x01 is in the closed result
// file and the input is free.
inline constexpr Step found[] = {store_verdict, close_result, close_input, say_line};
// The input is free before the line shows; the verdict byte is written only
// after it, so the result file is to be read once the process has ended.
inline constexpr Step zeros_only[] = {close_input, say_line, store_verdict, close_result};
// The line comes first; the result file made for this run is gone by the end,
// so no file left behind claims an answer.
inline constexpr Step read_error[] = {say_line, close_result, close_input, remove_result};
}  // namespace ending_steps

// A failure says more than a lost line, and has no verdict to lose.
constexpr Ending failure(std::string_view line, std::span<const Step> steps) {
  return {.line = line,
          .status = 1,
          .status_if_verdict_lost = 1,
          .status_if_line_lost = 1,
          .steps = steps};
}
// An answer tells first whether it is stored, then whether it was seen.
constexpr Ending answer(std::string_view line, int verdict, std::span<const Step> steps) {
  return {.line = line,
          .verdict = verdict,
          .status = 0,
          .status_if_verdict_lost = status_verdict_lost,
          .status_if_line_lost = status_output_lost,
          .steps = steps};
}

inline constexpr Ending open_error = failure("File Open Error!!", ending_steps::open_error);
inline constexpr Ending result_error =
    failure("Result File Open Error!!", ending_steps::result_error);
inline constexpr Ending vacant = answer("vacant file", 0x00, ending_steps::vacant);
inline constexpr Ending found = answer("End of duty", 0x01, ending_steps::found);
inline constexpr Ending zeros_only = answer("End of duty(0)", 0x00, ending_steps::zeros_only);
// A failed read is no answer either way: no result file is left claiming one.
inline constexpr Ending read_error = failure("File Read Error!!", ending_steps::read_error);

// The ending that the scan's answer leads to.
constexpr const Ending& ending_after(ScanResult scan) {
  switch (scan) {
    case ScanResult::empty:
      return vacant;
    case ScanResult::found:
      return found;
    case ScanResult::not_found:
      return zeros_only;
    case ScanResult::read_error:
      return read_error;
  }
  // Only a value outside the enumeration gets here: no answer either way.
  return read_error;
}

// What the steps act on; the run's own objects, or a fake that records them.
class EndingActions {
 public:
  virtual ~EndingActions() = default;
  virtual bool store_verdict(int verdict) = 0;  // false when the byte was not written
  virtual bool close_result() = 0;              // false when the close failed
  virtual void close_input() = 0;
  // False when the line, or any console line before it, did not go out.
  virtual bool say(std::string_view line) = 0;
  virtual void remove_result() = 0;
};

// What an ending lost, the verdict before the line, and the exit status that
// its row gives for that.
enum class Lost { nothing, verdict, line };
struct Ended {
  int status = 0;
  Lost lost = Lost::nothing;
};

// Carries out the ending's steps in their order.
Ended end_with(const Ending& ending, EndingActions& actions);

// How whatever shows standard error takes the bytes of a name from 0x80 up:
// as UTF-8, or one byte a character, as an 8-bit code page does, where the
// bytes 0x80 to 0x9F are the C1 controls themselves.
enum class Charset { utf8, eight_bit };

// The line on standard error that says why a failure ending came, before its
// own line on standard output, or why a status says that the answer or the
// line was lost: "content_check: NAME: REASON", where NAME is the input's
// name, the result file's or "standard output". No byte of the name reaches
// the terminal as a control: a byte that is no part of a printable character
// in that charset (DEL, a C1 control raw or encoded, a byte of no valid
// UTF-8 sequence, a character that reorders or breaks the line) is shown as
// \xHH, and a backslash as \\. A name that would not be seen whole (empty,
// or with a space at an end) or that starts with a quote is shown between
// single quotes, with its quotes as \'. Written into `into`, and cut to fit
// it; nothing is allocated.
struct FailureLine {
  char text[1024];
};
std::string_view failure_line(FailureLine& into, std::string_view name, std::string_view reason,
                              Charset charset = Charset::utf8);
