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
const char* read_input_name(std::span<char, line_buffer_size> line) {
  say(prompt_line);
  std::fflush(stdout);
  // An input already at its end, or failing, leaves an empty name.
  if (std::fgets(line.data(), static_cast<int>(line.size()), stdin) == nullptr) line[0] = '\0';
  // Drops whatever the stream holds beyond the one line; it is never read again.
  std::rewind(stdin);
  trim_input_name(line);
  return line.data();
}

bool put_verdict(const File& result, int verdict) {
  return std::fputc(verdict, result.get()) != EOF;
}

int status_of(const Outcome& outcome, bool stored) {
  return stored ? outcome.status : status_verdict_lost;
}

}  // namespace

int main() {
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
  std::remove(result_name);
  return read_error.status;
}
