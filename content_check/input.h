// The input file: opened by its name, then read as stored, at offsets where
// it has them, with its length, holes and changes as the system reports them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#include "failure.h"
#include "file_identity.h"
#include "scan.h"

namespace platform {

// The open input, read straight from its descriptor or handle: the length is
// the file's size, a block device's size, or -1 for what has none (a pipe, a
// socket, a character device, a file of the kernel's own file systems, such
// as /proc and /sys, whose sizes say nothing of their text). A file or a block
// device is positioned: read at offsets from several threads at once. Holes
// are reported only where the file system is known to report them truly. On
// Linux, data at offsets that is not in the page cache is read around it
// (direct_reads.h), with the same answers.
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
  // Why a read or a move failed, the last of them when several did; no error
  // when none has.
  virtual Failure read_failure() const = 0;
  // Closes it now, where the order of closes matters; otherwise it closes
  // when it goes.
  virtual void close() = 0;
};

// Opens the input for reading as fopen with "r" does, and reads it as stored,
// with no translation of line ends. Null when it cannot be opened, when what
// was opened is a directory (that is no file to examine), or when there is no
// memory for it; why is then told in `why`, when given.
std::unique_ptr<Input> open_input(const char* name, Failure* why = nullptr);

}  // namespace platform
