// The block scan over arbitrary byte sources, against the rule read one byte
// at a time with the length measured before every byte.
#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "content_check.h"
#include "memory_source.h"

namespace {

// The one-byte-at-a-time reading, for a source that neither grows nor shrinks.
ScanResult reference(const MemorySource& s) {
  const std::size_t end = std::min(s.bytes.size(), s.ends_after);
  const std::int64_t length =
      s.reported == -2 ? static_cast<std::int64_t>(s.bytes.size()) : s.reported;
  for (std::size_t count = 0;; ++count) {
    if (length >= 0 && static_cast<std::int64_t>(count) >= length) return ScanResult::not_found;
    if (count >= s.fails_after) return ScanResult::read_error;
    if (count >= end) {
      if (length >= 0) return ScanResult::found;  // a byte short of the length
      return count == 0 ? ScanResult::empty : ScanResult::not_found;
    }
    if (s.bytes[count] != 0) return ScanResult::found;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  MemorySource s;
  const std::size_t buffer_size = 1 + data[0] % 64;
  s.most_per_read = 1 + data[1] % 32;
  s.bytes.assign(data + 5, data + size);
  // Mostly zeros, so that the interesting paths are long ones.
  for (unsigned char& b : s.bytes) b = b < 0xe0 ? 0 : static_cast<unsigned char>(b - 0xdf);
  const std::size_t n = s.bytes.size();
  switch (data[2] % 4) {
    case 0:
      s.reported = -2;
      break;  // the true length
    case 1:
      s.reported = -1;
      break;  // no length
    case 2:
      s.reported = static_cast<std::int64_t>(n / 2);
      break;
    case 3:
      s.reported = static_cast<std::int64_t>(n + 3);
      break;  // more than it delivers
  }
  if (data[3] % 3 == 0) s.ends_after = data[3] % (n + 1);
  if (data[4] % 3 == 0) s.fails_after = data[4] % (n + 1);

  const ScanResult expected = reference(s);
  unsigned char buffer[64];
  if (scan_for_nonzero(s, {buffer, buffer_size}) != expected) std::abort();
  return 0;
}
