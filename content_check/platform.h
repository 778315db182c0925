// Everything that touches the operating system directly. Each platform has its
// own implementation file; the rest of the program reads the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "file_identity.h"
#include "scan.h"

namespace platform {

// Sets the process up before anything else runs: a pipe or FIFO whose reader
// has gone makes a write fail, never ends the process.
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
// failing standard output, a pipe whose reader has gone).
bool write_stdout_line(std::string_view line);

// The open input, read straight from its descriptor or handle: the length is
// the file's size, a block device's size, or -1 for what has none (a pipe, a
// socket, a character device, a file of the kernel's own file systems, such
// as /proc and /sys, whose sizes say nothing of their text). A file or a block
// device is positioned: read at offsets from several threads at once. Holes
// are reported only where the file system is known to report them truly.
class Input : public ByteSource {
 public:
  // Had with new (std::nothrow), which here is a plain malloc, and checked.
  // The usual new throws when memory is short, and throwing takes memory of
  // its own, as the usual new (std::nothrow) does too, since it throws and
  // catches inside the runtime: with none left, the process dies by abort.
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return std::malloc(size);
  }
  static void operator delete(void* input) noexcept { std::free(input); }

  virtual FileIdentity identity() const = 0;
  // Closes it now, where the order of closes matters; otherwise it closes
  // when it goes.
  virtual void close() = 0;
};

// Opens the input for reading as fopen with "r" does, and reads it as stored,
// with no translation of line ends. Null when it cannot be opened, when what
// was opened is a directory (that is no file to examine), or when there is no
// memory for it.
std::unique_ptr<Input> open_input(const char* name);

// Memory for the scan: size bytes aligned to a page, untouched until the
// first read. Its first head bytes are small pages, all that a short file's
// reads touch; the rest is mapped so that its first touch costs as few page
// faults as the system allows. Empty when the system has not that much to give:
// it never throws.
class ScanBuffer {
 public:
  ScanBuffer() = default;
  ScanBuffer(std::size_t size, std::size_t head) noexcept;
  ScanBuffer(ScanBuffer&& other) noexcept
      : mapping_(std::exchange(other.mapping_, nullptr)),
        mapped_(std::exchange(other.mapped_, 0)),
        bytes_(std::exchange(other.bytes_, {})) {}
  ScanBuffer& operator=(ScanBuffer&& other) noexcept {
    std::swap(mapping_, other.mapping_);
    std::swap(mapped_, other.mapped_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  ~ScanBuffer();

  std::span<unsigned char> bytes() const { return bytes_; }

 private:
  void* mapping_ = nullptr;
  std::size_t mapped_ = 0;
  std::span<unsigned char> bytes_;
};

// How many processors this process may run on (its affinity): at least 1.
std::size_t usable_processors();

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
