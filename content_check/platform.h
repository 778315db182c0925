// Everything that touches the operating system directly. Each platform has its
// own implementation file; the rest of the program reads the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "content_check.h"

namespace platform {

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

struct CreatedResult {
  std::FILE* file = nullptr;  // open for writing in binary mode ("wb"), or null
  bool is_input = false;      // the name designates the input: nothing was cut or created
};

// Creates the result file, or cuts it to zero length, unless the name
// designates the open input itself (through a link, or a name that the file
// system takes for the same), which is then left as it was.
CreatedResult create_result(const char* name, std::FILE* input);

}  // namespace platform
