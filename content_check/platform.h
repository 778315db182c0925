// Everything that touches the operating system directly. Each platform has its
// own implementation file; the rest of the program reads the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "content_check.h"

namespace platform {

// Sets the process up before anything else runs: a pipe or FIFO whose reader
// has gone makes a write fail, never ends the process.
void prepare_process();

// One byte of standard input, read straight from the descriptor or handle so
// that nothing beyond it is taken from a pipe or a file that other programs go
// on reading: the byte (0 to 255), end_of_line_input at its end, or
// line_input_error when the read fails.
inline constexpr int end_of_line_input = -1;
inline constexpr int line_input_error = -2;
int read_stdin_byte();

// Opens the input for reading in text mode ("r"). Null when it cannot be
// opened, or when what was opened is a directory: that is no file to examine.
std::FILE* open_input(const char* name);

// The length of the open input as the file system reports it now: a block
// device's size for a block device, -1 for what has no length (a pipe, a
// socket, a character device) or cannot be measured.
std::int64_t input_length(std::FILE* input);

// Reads up to into.size() bytes: the count read, 0 at the end of the data, -1
// on a read error.
std::ptrdiff_t read_input(std::FILE* input, std::span<unsigned char> into);

// Whether the file system reports the input's holes truly, so that they may be
// skipped instead of read.
bool reports_holes(std::FILE* input);

// Moves the input's read position to offset, for a scan that skips holes;
// false when it cannot.
bool seek_input(std::FILE* input, std::int64_t offset);

// The next stretch of the input that may hold data at or after offset, as
// ByteSource::next_data describes it.
DataExtent next_data(std::FILE* input, std::int64_t offset);

// Which file an open result is, as the file system tells files apart.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

struct CreatedResult {
  std::FILE* file = nullptr;  // open for writing in binary mode ("wb"), or null
  bool is_input = false;      // the name designates the input: nothing was cut or created
  FileIdentity identity;      // of the file opened, when there is one
};

// Creates the result file, or cuts it to zero length, unless the name
// designates the open input itself (through a link, a second device node of
// the same device, or a name that the file system takes for the same), which
// is then left as it was. In a directory that anyone may write to and whose
// entries only their owners may remove (a sticky one, such as /tmp), a
// symbolic link or an existing file under that name that belongs neither to
// the caller nor to the directory's owner is neither followed nor opened:
// another user may have planted it there. Null file then.
CreatedResult create_result(const char* name, std::FILE* input);

// Removes the result file by name, but only when the name still leads to the
// very file that was created (the identity it was created with) and that is a
// plain file, not a link, a FIFO or a device. Anything else is left alone.
void remove_result(const char* name, FileIdentity created);

}  // namespace platform
