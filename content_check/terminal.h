// Standard error as a terminal (a console on Windows), for the status line
// drawn in place and its erasure when the run is interrupted.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace platform {

// Clears the cursor's row from its first column, and every row below it, and
// leaves the cursor in the first column: from the second column to the end of
// the screen, then the row itself. Never from the first column: on the top
// row that is the top-left corner, and a clear from there to the end of the
// screen is taken by some terminals (tmux, by default) for a clear of the
// whole screen, whose rows they first push into their history, so that every
// drawing of a line there would leave a copy of itself behind.
inline constexpr std::string_view clear_row_and_below = "\r\033[C\033[J\r\033[K";

// The most columns that an interruption overwrites. The erasure is built in
// place, in the signal handler (on Windows the Ctrl-C handler), where nothing
// may be taken from the heap, so no line may be said to be shown wider than
// this; the status line's widest is checked against it where both are seen.
inline constexpr std::size_t erasure_room = 254;

// What became of bytes written to the terminal.
enum class Written {
  all,     // every byte reached it
  none,    // it took none of them now: its output is paused (Ctrl-S, say)
  part,    // it took some, and not the rest within the time it is given
  failed,  // it failed, and nothing more should be tried
};

// Standard error when it is a terminal (a console on Windows), for a line of
// status that is drawn in place. While it is open, an interruption (Ctrl-C,
// and on Linux SIGTERM) first erases the line last said to be shown, unless
// the process may not draw there (see in_foreground); the program then ends
// as it would have without it. Where the terminal takes escape sequences, the
// erasure is clear_row_and_below; elsewhere it overwrites with spaces the
// columns said to be shown, as many as the terminal's width then leaves short
// of its last column.
class Terminal {
 public:
  virtual ~Terminal() = default;
  // Its width now, in columns; 0 when it does not tell.
  virtual std::size_t columns() = 0;
  // Whether it takes the escape sequences of clear_row_and_below. A terminal
  // that takes none is drawn on with carriage returns and spaces only.
  virtual bool takes_escapes() = 0;
  // Whether this process may draw on it now: only when it is the process's
  // controlling terminal and the process is in its foreground. A job in the
  // background, or a run that does not hold the terminal at all (started
  // with setsid), would draw over the shell's own lines.
  virtual bool in_foreground() = 0;
  // Writes the bytes. A terminal left non-blocking by whoever shares it takes
  // nothing while its output is paused: then, unless must_reach, none is the
  // answer at once. Once it has taken some of them, or when must_reach, it is
  // waited for, a few seconds at most, so that a terminal paused for good
  // cannot hold the run for ever.
  virtual Written write(std::string_view bytes, bool must_reach) = 0;
  // How many columns of the cursor's row, from the first, hold a line that an
  // interruption must overwrite; 0 for none.
  virtual void shown(std::size_t columns) = 0;
};

// Ends what open_terminal began; the terminal itself lives in static storage,
// so that opening it takes no memory from the heap.
struct CloseTerminal {
  void operator()(Terminal* terminal) const noexcept;
};
using OpenTerminal = std::unique_ptr<Terminal, CloseTerminal>;

// Null when standard error is no terminal (or console): a pipe, a file,
// /dev/null. Nothing is written there then. Only one is open at a time.
OpenTerminal open_terminal();

}  // namespace platform
