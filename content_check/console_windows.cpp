// The console on Windows: standard input read a byte at a time through its
// handle, and whole lines written on standard output in text mode.
#include <windows.h>

#include <cstdio>

#include "console.h"
#include "reasons.h"

namespace platform {

const char* const manual = "see README.txt beside content_check.exe";

void prepare_process() {
  // Nothing to do: a write to a pipe whose reader has gone fails here anyway.
}

int read_stdin_byte() {
  // Straight from the handle: the C library's text-mode reads look one byte
  // ahead after a carriage return, and on a pipe that byte is the next reader's.
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    unsigned char byte = 0;
    DWORD got = 0;
    if (!::ReadFile(input, &byte, 1, &got, nullptr)) {
      switch (::GetLastError()) {
        case ERROR_BROKEN_PIPE:  // a pipe whose writer has gone: the end of the input
          return end_of_line_input;
        case ERROR_MORE_DATA:  // a message pipe's longer message: its first byte, the rest stays
          break;
        default:
          return line_input_error;
      }
    }
    if (got == 1) return byte;
    // Nothing read from a message pipe is an empty message, and the name may
    // come in the next: such a pipe ends only when its writer goes. Anything
    // else, and a byte pipe under Wine, says its end so.
    DWORD flags = 0;
    if (!::GetNamedPipeInfo(input, &flags, nullptr, nullptr, nullptr) ||
        (flags & PIPE_TYPE_MESSAGE) == 0)
      return end_of_line_input;
  }
}

bool write_stdout_line(std::string_view line, Failure& why) {
  // Through the C library's text-mode stream, which ends the line in a
  // carriage return and a newline, as console programs' lines end here; and
  // out at once, so that the prompt is seen before the name is awaited.
  ::SetLastError(0);
  if (std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
      std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0)
    return true;
  const DWORD error = ::GetLastError();
  why = error != 0 ? Failure{.error = static_cast<int>(error)}
                   : Failure{.reason = reasons::line_not_taken};
  return false;
}

bool stderr_shows_utf8() {
  // The bytes of a name go out as they are, and the console shows them in its
  // output code page: in any other than UTF-8, one byte a character.
  return ::GetConsoleOutputCP() == CP_UTF8;
}

void write_stderr_line(std::string_view line) {
  // In text mode too, so that the line ends as the console's lines end.
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace platform
