// The process's console: how it is set up, the name read from standard input
// a byte at a time, the lines written on standard output, and the line of a
// failure's reason on standard error.
#pragma once

#include <string_view>

#include "failure.h"

namespace platform {

// Sets the process up before anything else runs: a pipe or FIFO whose reader
// has gone, or a file past the process's file-size limit, makes a write fail,
// never ends the process.
void prepare_process();

// One byte of standard input, read straight from the descriptor or handle so
// that nothing beyond it is taken from a pipe or a file that other programs go
// on reading: the byte (0 to 255), end_of_line_input at its end, or
// line_input_error when the read fails. From a socket that keeps messages
// apart, the line is one message's bytes up to its newline, and the message's
// end ends it. A non-blocking standard input is waited on.
inline constexpr int end_of_line_input = -1;
inline constexpr int line_input_error = -2;
int read_stdin_byte();

// Writes the line and a newline on standard output, all of it, at once: a
// non-blocking standard output that is full for now is waited on until its
// reader makes room. False when the line could not be delivered (a closed or
// failing standard output, a pipe whose reader has gone), and why is then in
// `why`.
bool write_stdout_line(std::string_view line, Failure& why);

// Where this platform's user finds the manual, as a user would be told.
extern const char* const manual;

// Whether whatever shows standard error is taken to read UTF-8, rather than
// one byte a character as an 8-bit code page has it: the locale's choice on
// Linux, the console's output code page on Windows.
bool stderr_shows_utf8();

// Writes the line and a newline on standard error, as far as it goes: a
// failing standard error is no failure of the run.
void write_stderr_line(std::string_view line);

}  // namespace platform
