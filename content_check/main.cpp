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
  return result && std::fputc(verdict, result.get()) != EOF;
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

  char result_name[result_name_size] = {};
  std::strncpy(result_name, choose_result_name(input_name), sizeof result_name - 1);
  File result(platform::create_result(result_name));

  InputSource source(input.get());
  if (source.length() == 0) {
    put_verdict(result, vacant.verdict);
    say(vacant.line);
    result.close();
    input.close();
    return vacant.status;
  }

  if (scan_for_nonzero(source) == ScanResult::found) {
    put_verdict(result, found.verdict);
    result.close();
    input.close();
    say(found.line);
    return found.status;
  }

  input.close();
  say(zeros_only.line);
  put_verdict(result, zeros_only.verdict);
  const bool closed = result.close();
  return closed ? zeros_only.status : status_verdict_lost;
}
