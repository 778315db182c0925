// Standard error as a terminal (a console on Windows), for the status line
// drawn in place and its erasure when the run is interrupted.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

namespace platform {

// Standard error when it is a terminal (a console on Windows), for a line of
// status that is drawn in place. While it is open, an interruption (Ctrl-C,
// and on Linux SIGTERM) first erases the line last said to be shown, unless
// the process runs in the background; the program then ends as it would have
// without it. Where the terminal takes escape sequences, the erasure clears
// from the first column of the cursor's row to the end of the screen;
// elsewhere it overwrites with spaces the columns said to be shown, as many
// as the terminal's width then leaves short of its last column.
class Terminal {
 public:
  virtual ~Terminal() = default;
  // Its width now, in columns; 0 when it does not tell.
  virtual std::size_t columns() = 0;
  // Whether it takes ESC [ J, which clears from the cursor to the end of the
  // screen. A terminal that takes no escape sequences is drawn on with
  // carriage returns and spaces only.
  virtual bool takes_escapes() = 0;
  // Whether this process may draw on it now: not while it runs as a job in
  // the background, where it would draw over the shell's own lines.
  virtual bool in_foreground() = 0;
  // Writes all the bytes; false when the terminal fails.
  virtual bool write(std::string_view bytes) = 0;
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
