// The block scan over arbitrary byte sources, by one reader or several, against
// the rule read one byte at a time with the length measured before every byte. Sources may be
// sparse and as long as 2^63 - 1 bytes, with their hole queries answered truly or in the odd ways
// file systems answer them, through the platform's own query code; sources read at offsets may
// be read through the direct path, cold, cached by turns, or refusing direct reads.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include "direct_seam.h"
#include "memory_source.h"
#include "scan.h"
#include "seek_seam.h"

namespace {

// The first non-zero byte at or after offset and before the length, or the length.
std::int64_t first_nonzero(const MemorySource& s, std::int64_t offset, std::int64_t length) {
  for (std::size_t i = 0; i < s.bytes.size(); ++i) {
    const std::int64_t at = s.hole + static_cast<std::int64_t>(i);
    if (at >= length) break;
    if (at >= offset && s.bytes[i] != 0) return at;
  }
  return length;
}

// The one-byte-at-a-time reading, for a source that neither grows nor shrinks,
// worked out from where things lie, since the hole before the bytes may be
// 2^63 bytes long: the first of the length, a failing read, the end of the data
// and a non-zero byte decides.
ScanResult reference(const MemorySource& s) {
  const std::int64_t length = s.current_length();
  // A length of 0 is confirmed by a read, and then read to the end as a pipe is.
  const bool bounded = length > 0;
  // With a length to go by, data that ends once and then goes on is read on.
  const bool ends = s.ends_times >= (bounded ? 2 : 1);
  const std::int64_t end = std::min(s.stored_end(), ends ? s.ends_after : max_offset);
  const std::int64_t nonzero = first_nonzero(s, 0, max_offset);
  if (bounded) {
    const std::int64_t first = std::min({length, s.fails_after, end, nonzero});
    if (first == length) return ScanResult::not_found;
    // A failing read, or data that ends short of the length: no byte to go by.
    if (first == s.fails_after || first == end) return ScanResult::read_error;
    return ScanResult::found;
  }
  const std::int64_t first = std::min({s.fails_after, end, nonzero});
  if (first == s.fails_after) return ScanResult::read_error;
  if (first == end) return first == 0 ? ScanResult::empty : ScanResult::not_found;
  return ScanResult::found;
}

// Draws each hole query's answer from the input: the truth, or one of the odd
// answers file systems give, where that still leaves the answer to be had.
struct OddAnswers {
  const std::uint8_t* next;
  const std::uint8_t* end;
  std::int64_t block;  // the scan's buffer size
  const MemorySource* source;

  unsigned draw() { return next < end ? *next++ : 0; }  // the truth once used up

  off_t operator()(int whence, off_t offset, off_t truth) {
    const std::int64_t length = source->current_length();
    const unsigned choice = draw();
    // Answers that have the scan read everything on, or a stretch to the end,
    // must leave little to read: the hole may be 2^63 bytes long.
    const bool may_read_on = length - offset <= 4096;
    if (whence == SEEK_HOLE) {
      errno = 0;
      switch (choice % 8) {
        case 1:
          errno = EIO;
          return -1;
        case 2:
          return INT64_MIN;
        case 3:
          return offset - 1 - static_cast<off_t>(draw() % 8);
        case 4:
          if (!may_read_on) break;
          return INT64_MAX;
        case 5:
          // A stretch that ends early or late.
          return offset + std::min<off_t>(draw() % 64, max_offset - offset);
        default:
          break;
      }
      errno = truth == -1 ? ENXIO : 0;
      return truth;
    }
    // Answers that no data follows hide nothing the last block does not hold.
    const std::int64_t nonzero = first_nonzero(*source, offset, length);
    const bool may_deny = nonzero >= length - block;
    errno = 0;
    switch (choice % 8) {
      case 1:
        if (!may_read_on) break;
        errno = EINVAL;
        return -1;
      case 2:
        if (!may_deny) break;
        errno = ENXIO;
        return -1;
      case 3:
        if (!may_read_on) break;
        return INT64_MIN;
      case 4:
        if (!may_read_on) break;
        return offset - 1 - static_cast<off_t>(draw() % 8);
      case 5:
        if (!may_deny) break;
        return length + std::min<std::int64_t>(draw() % 4, max_offset - length);
      case 6: {
        // Zeros may be stored: any start up to the first non-zero byte is true.
        const std::int64_t room = nonzero - offset;
        const auto d = static_cast<std::int64_t>(draw());
        return offset + (d == 255 ? room : room / 255 * d);
      }
      default:
        break;
    }
    errno = truth == -1 ? ENXIO : 0;
    return truth;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t header = 6;
  if (size < header) return 0;
  const std::size_t answer_bytes = std::min<std::size_t>(data[5] >> 4, size - header);
  const std::uint8_t* const content_end = data + size - answer_bytes;

  SeamSource seam;
  MemorySource& s = seam.memory;
  const auto buffer_size = static_cast<std::size_t>(1 + data[0] % 64);
  s.most_per_read = 1 + data[1] % 32;
  // Read as a stream by one reader, or at offsets by one to four, each with a
  // block of buffer_size bytes.
  s.positioned_reads = data[1] >= 32;
  const std::size_t readers = 1 + data[1] / 64;
  s.bytes.assign(data + header, content_end);
  // Mostly zeros, so that the interesting paths are long ones.
  for (unsigned char& b : s.bytes) b = b < 0xe0 ? 0 : static_cast<unsigned char>(b - 0xdf);
  const auto n = static_cast<std::int64_t>(s.bytes.size());

  // The hole before the bytes: none, a short one, or one that ends them at
  // or near 2^63 - 1; hole queries are asked in the second and third case.
  const int hole_kind = data[2] / 4 % 4;
  const bool queries = hole_kind == 1 || hole_kind == 2;
  const unsigned detail = data[5] & 15;
  if (hole_kind == 1 || hole_kind == 3) s.hole = detail * 37;
  if (hole_kind == 2) s.hole = max_offset - n - (detail & 7);
  switch (data[2] % 4) {
    case 0:
      s.reported = -2;
      break;  // the true length
    case 1:
      // No length; but a pipe 2^63 bytes long would never end.
      s.reported = hole_kind == 2 ? -2 : -1;
      break;
    case 2:
      s.reported = s.hole + n / 2;
      break;
    case 3:
      s.reported = s.hole + n + std::min<std::int64_t>(3, max_offset - s.hole - n);
      break;  // more than it delivers
  }
  if (data[3] % 3 == 0) {
    s.ends_after = s.hole + data[3] % (n + 1);
    if (data[3] / 3 % 2 == 0) s.ends_times = 1;  // and goes on after that
  }
  if (data[4] % 3 == 0) s.fails_after = s.hole + data[4] % (n + 1);

  const ScanResult expected = reference(s);
  MemorySource unfailing = s;
  unfailing.fails_after = max_offset;
  const ScanResult expected_unfailing = reference(unfailing);

  alignas(64) unsigned char buffer[64 * 4];
  const std::span<unsigned char> blocks(buffer, buffer_size * readers);
  // The top bits of the buffer's byte: reads at offsets as they come, or
  // through the direct path in one of its ways.
  const std::size_t direct_way = data[0] / 64;
  ScanResult got;
  if (queries) {
    seam.answer = OddAnswers{content_end, data + size, static_cast<std::int64_t>(buffer_size), &s};
    got = scan_for_nonzero(seam, blocks, nullptr, readers);
  } else if (s.positioned_reads && direct_way > 0) {
    const std::size_t way = ((direct_way - 1) * 3 + data[4] / 3 % 3) % std::size(direct_ways);
    DirectSource direct(s, direct_ways[way].settings);
    got = scan_for_nonzero(direct, blocks, nullptr, readers);
    if (direct.misaligned != 0) std::abort();
  } else {
    got = scan_for_nonzero(s, blocks, nullptr, readers);
  }
  // A scan that skips holes may skip the place where reads fail; or skip the
  // place where the data ends and then meet the failure, when that comes
  // before the length and no later than the first non-zero byte.
  const bool may_fail_first =
      s.fails_after < s.current_length() && s.fails_after <= first_nonzero(s, 0, max_offset);
  if (got != expected && !(queries && got == expected_unfailing) &&
      !(queries && may_fail_first && got == ScanResult::read_error))
    std::abort();
  return 0;
}
