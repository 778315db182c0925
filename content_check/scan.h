// The scan: whether a source holds a byte that is not zero, and what it reads
// from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "scan_sizes.h"

// The block each of the scan's readers reads into, and the first read of a
// source (scan_sizes.h says why).
inline constexpr std::size_t scan_block = scan_block_bytes;
inline constexpr std::size_t first_read = first_read_bytes;

// The most readers a scan starts, whatever the number of processors: a reader
// more than the processors may keep them busy while another waits, and more
// than four leave little to gain for the memory each takes.
inline constexpr std::size_t most_readers = 4;

// Whether every byte is zero: the scan's check, with the widest registers the
// processor offers (32 bytes at a time where x86 processors have AVX2).
bool all_zero(std::span<const unsigned char> bytes);

// The same 16 bytes at a time, which every processor we build for can do: the
// check where there is no AVX2, and one that tests reach on any processor.
bool all_zero_16(std::span<const unsigned char> bytes);

// Where data may lie in a source that knows its holes (stretches that read as
// zeros without being stored).
struct DataExtent {
  enum Kind {
    unknown,  // the source cannot tell: read everything from here on
    data,     // bytes from start to end may hold data; those before start are a hole
    none,     // no data from the asked offset to the end: the rest reads as zeros
  } kind = unknown;
  std::int64_t start = 0;  // on data, at or after the offset asked; it may lie past the length
  std::int64_t end = 0;    // may be at or before start when the end is not known or a
                           // writer races the query
};

// What tells whether a source has changed: its size and the times of its last
// change and last write as the system keeps them, compared only with each
// other.
struct ChangeStamp {
  std::int64_t size = 0;
  std::int64_t changed = 0;
  std::int64_t written = 0;
  bool operator==(const ChangeStamp&) const = default;
};

// What the scan reads from. Positions are counted in 64 bits so that files of
// 2 GiB and more get a right answer on 32-bit builds too.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The length as it is now, or -1 when it cannot be measured.
  virtual std::int64_t length() = 0;

  // Reads up to into.size() bytes at the current position: the count read,
  // 0 at the end of the data, -1 on a read error.
  virtual std::ptrdiff_t read(std::span<unsigned char> into) = 0;

  // The next stretch that may hold data at or after offset, which is the
  // current read position. On data, the read position moves to the stretch's
  // start; on unknown, it stays at offset. Sources that know no holes keep
  // this default.
  virtual DataExtent next_data(std::int64_t /*offset*/) { return {}; }

  // Moves the read position to offset; false when it cannot. Only sources that
  // report holes are asked to, so the others keep this default.
  virtual bool seek(std::int64_t /*offset*/) { return false; }

  // Whether read_at may be asked: true for sources whose bytes have places
  // (a file, a block device), false for streams (a pipe, a character device).
  virtual bool positioned() const { return false; }

  // Reads up to into.size() bytes from offset on, as read does, but leaves the
  // read position alone, and may be called from several threads at once (as
  // next_data and seek may not). Only asked of positioned sources.
  virtual std::ptrdiff_t read_at(std::span<unsigned char> /*into*/, std::int64_t /*offset*/) {
    return -1;
  }

  // The source's change stamp as it is now; none when it cannot tell, as
  // sources that keep this default.
  virtual std::optional<ChangeStamp> change_stamp() { return std::nullopt; }
};

enum class ScanResult {
  found,
  not_found,
  empty,       // a source without a length, or of length 0, delivered no byte at all
  read_error,  // the source failed: no answer either way
};

// Told how far a scan has got, once for each block: the bytes examined so far,
// holes skipped counting as examined, and the length as last measured, or -1
// for a source read to the end of its data. It must not touch the source.
class ScanProgress {
 public:
  virtual ~ScanProgress() = default;
  virtual void examined(std::int64_t bytes, std::int64_t length) = 0;
};

// Found when the source delivers a non-zero byte: the answer comes only from
// bytes read. Not found when the count of bytes read, holes included, reaches
// the length with only zeros seen. The length is measured again whenever the
// count reaches it and whenever the data ends, so a source that grows is read
// to its new end, one cut short ends the scan at its new length, and one cut
// and grown again is read on from where the scan stands. Data that ends again
// at the same place while the length still promises more is a read error,
// unless the source's change stamp shows that it changed in between; then it
// is read on from there, a few times at most, so that no writer can hold the
// scan in place. A source
// without a length (a pipe, a character device), or whose length is 0, is read
// to the end of its data. Lengths up to 2^63 - 1 are answered right, whatever
// the source's hole queries say.
//
// A positioned source of some length is read by up to `readers` threads at
// once (the caller's among them), each into its own block of buffer
// (buffer.size() / readers bytes); the answer is the same as with one. The
// progress, when there is one, is told on the caller's thread only.
ScanResult scan_for_nonzero(ByteSource& input, std::span<unsigned char> buffer,
                            ScanProgress* progress = nullptr, std::size_t readers = 1);
