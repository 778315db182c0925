// The run: one prompt, one name, one input, one verdict byte, one ending line.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "console.h"
#include "endings.h"
#include "failure.h"
#include "input.h"
#include "machine.h"
#include "naming.h"
#include "progress.h"
#include "reasons.h"
#include "result_file.h"
#include "scan_memory.h"
#include "terminal.h"

namespace {

constexpr std::string_view prompt_line = "Input File Name";
// Where the console lines go, named in the line that says they were lost.
constexpr std::string_view standard_output = "standard output";

// Why a console line did not reach standard output, once one did not.
std::optional<platform::Failure> output_lost;

// False when this line, or any console line before it, did not go out.
bool say(std::string_view line) {
  platform::Failure why;
  if (!platform::write_stdout_line(line, why) && !output_lost) output_lost = why;
  return !output_lost;
}

// Writes the prompt, reads one line and trims it to the input name in place.
// The whole line is taken, through its newline, however long it is, and not a
// byte more: standard input may be a file or pipe of names that the next
// program goes on reading. Only its first longest_name bytes are kept;
// name_cut tells whether the name went on past them.
const char* read_input_name(std::span<char, line_buffer_size> line, bool& name_cut) {
  say(prompt_line);
  std::size_t kept = 0;
  int first_dropped = -1;
  for (;;) {
    const int byte = platform::read_stdin_byte();
    if (byte == platform::end_of_line_input) break;
    // Part of a name is no name to open: a failing input leaves it empty.
    if (byte == platform::line_input_error) {
      kept = 0;
      break;
    }
    if (kept < longest_name)
      line[kept++] = static_cast<char>(byte);
    else if (first_dropped < 0)
      first_dropped = byte;
    if (byte == '\n') break;
  }
  line[kept] = '\0';
  trim_input_name(line);
  // A byte that the trim would have kept was dropped, after a name as long
  // as it may be.
  name_cut = first_dropped >= 0x20 && std::strlen(line.data()) == longest_name;
  return line.data();
}

// The run's own files, as the endings' steps act on them. What is not there
// on an ending is never touched by its steps.
struct RunFiles final : EndingActions {
  std::unique_ptr<platform::Input> input;
  platform::ResultFile result;

  bool store_verdict(int verdict) override { return result.put(verdict); }
  bool close_result() override { return result.close(); }
  void close_input() override { input->close(); }
  bool say(std::string_view line) override { return ::say(line); }
  void remove_result() override { result.remove(); }
};

// The scan, with its progress on standard error when that is a terminal. The
// line is gone again before the ending's line is printed.
ScanResult scan_showing_progress(platform::Input& input, const platform::ScanBuffer& buffer) {
  const platform::OpenTerminal terminal = platform::open_terminal();
  if (!terminal) return scan_for_nonzero(input, buffer);
  StatusLine status(*terminal);
  ProgressLine progress(status);
  return scan_for_nonzero(input, buffer, &progress);
}

// Says on standard error why an ending came, or why its answer or line was
// lost: before a failure ending's line, after the run for a loss.
void tell_why(std::string_view name, platform::Failure why) {
  // A failure that the system left without an error still says something.
  if (why.error == 0 && why.reason == nullptr) why.reason = reasons::not_stored;
  char reason[256];
  FailureLine line;
  const Charset charset = platform::stderr_shows_utf8() ? Charset::utf8 : Charset::eight_bit;
  platform::write_stderr_line(failure_line(line, name, platform::describe(why, reason), charset));
}

// Why the scan gave no answer: no memory to read into, a read that failed,
// or data that ended short of the length and would not go on.
platform::Failure why_unread(const platform::ScanBuffer& buffer, const platform::Input& input) {
  if (buffer.bytes().empty()) return {.reason = reasons::no_memory_for_the_scan};
  const platform::Failure failure = input.read_failure();
  if (failure.error != 0) return failure;
  return {.reason = reasons::data_ended_short};
}

// Carries out the ending: its exit status. When its row gives another
// status for what was lost, standard error says why, after the ending's line.
int finish(const Ending& ending, RunFiles& files) {
  const Ended ended = end_with(ending, files);
  if (ended.status != ending.status) {
    if (ended.lost == Lost::verdict) tell_why(files.result.name(), files.result.failure());
    if (ended.lost == Lost::line) tell_why(standard_output, *output_lost);
  }
  return ended.status;
}

// The run from the prompt to the last close: its exit status.
int run() {
  char line[line_buffer_size] = {};
  bool name_cut = false;
  const char* input_name = read_input_name(line, name_cut);

  RunFiles files;
  // A name cut short may name another file that is there: the answer would
  // be about a file that nobody named.
  if (name_cut) {
    tell_why(input_name, {.reason = reasons::name_too_long});
    return finish(open_error, files);
  }
  platform::Failure why;
  files.input = platform::open_input(input_name, &why);
  if (!files.input) {
    tell_why(input_name, why);
    return finish(open_error, files);
  }

  // Had before the result file is cut, so that nothing after that can fail
  // for want of memory; with none at all, the scan ends as a read error.
  const platform::ScanBuffer buffer = scan_buffer();

  files.result = platform::ResultFile::create(input_name, files.input->identity());
  if (!files.result) {
    const char* const result_name = files.result.name();
    tell_why(result_name != nullptr ? result_name : "", files.result.failure());
    return finish(result_error, files);
  }

  const ScanResult scan = scan_showing_progress(*files.input, buffer);
  if (scan == ScanResult::read_error) tell_why(input_name, why_unread(buffer, *files.input));
  return finish(ending_after(scan), files);
}

}  // namespace

int main(int argc, char**) {
  platform::prepare_process();
  // Ignored, as they always were, but not without a word: a user who tries
  // `content_check file.bin` would otherwise wait at a prompt unexplained.
  if (argc > 1) {
    char text[160];
    std::snprintf(text, sizeof text, "%s (%s)", reasons::no_arguments, platform::manual);
    platform::write_stderr_line(text);
  }
  return run();
}
