// The run: one prompt, one name, one input, one verdict byte, one outcome line.
#include <cstdio>
#include <cstring>

#include "content_check.h"
#include "files.h"
#include "outcomes.h"
#include "platform.h"

namespace {

void say(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

// Writes the prompt, reads one line and trims it to the input name in place.
// The whole line is taken, through its newline, however long it is, and not a
// byte more: standard input may be a file or pipe of names that the next
// program goes on reading. Only its first 127 bytes are kept.
const char* read_input_name(std::span<char, line_buffer_size> line) {
  say(prompt_line);
  std::fflush(stdout);
  std::size_t kept = 0;
  for (;;) {
    const int byte = platform::read_stdin_byte();
    if (byte == platform::end_of_line_input) break;
    // Part of a name is no name to open: a failing input leaves it empty.
    if (byte == platform::line_input_error) {
      kept = 0;
      break;
    }
    if (kept < line.size() - 1) line[kept++] = static_cast<char>(byte);
    if (byte == '\n') break;
  }
  line[kept] = '\0';
  trim_input_name(line);
  return line.data();
}

bool put_verdict(const File& result, int verdict) {
  return std::fputc(verdict, result.get()) != EOF;
}

int status_of(const Outcome& outcome, bool stored) {
  return stored ? outcome.status : status_verdict_lost;
}

// The run from the prompt to the last close: its exit status.
int run() {
  char line[line_buffer_size] = {};
  const char* input_name = read_input_name(line);

  File input(platform::open_input(input_name));
  if (!input) {
    say(open_error.line);
    return open_error.status;
  }

  // The result never goes into the input itself: when the chosen name turns
  // out to designate it, the other name is taken.
  char result_name[result_name_size] = {};
  std::strncpy(result_name, choose_result_name(input_name), sizeof result_name - 1);
  platform::CreatedResult created = platform::create_result(result_name, input.get());
  if (created.is_input) {
    std::strncpy(result_name, other_result_name(result_name), sizeof result_name - 1);
    created = platform::create_result(result_name, input.get());
  }
  File result(created.file);
  if (!result) {
    say(result_error.line);
    input.close();
    return result_error.status;
  }

  InputSource source(input.get());
  const ScanResult scan = scan_for_nonzero(source);
  switch (scan) {
    case ScanResult::empty: {
      bool stored = put_verdict(result, vacant.verdict);
      say(vacant.line);
      stored = result.close() && stored;
      input.close();
      return status_of(vacant, stored);
    }
    case ScanResult::found: {
      bool stored = put_verdict(result, found.verdict);
      stored = result.close() && stored;
      input.close();
      say(found.line);
      return status_of(found, stored);
    }
    case ScanResult::not_found: {
      input.close();
      say(zeros_only.line);
      bool stored = put_verdict(result, zeros_only.verdict);
      stored = result.close() && stored;
      return status_of(zeros_only, stored);
    }
    case ScanResult::read_error:
      break;
  }
  // A failed read is no answer either way: leave no result file claiming one.
  say(read_error.line);
  result.close();
  input.close();
  platform::remove_result(result_name, created.identity);
  return read_error.status;
}

}  // namespace

int main() {
  platform::prepare_process();
  const int status = run();
  // The outcome line goes out last; if it cannot, a status of 0 would claim
  // that it was seen.
  const bool output_failed = std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
  return output_failed && status == 0 ? status_output_lost : status;
}
