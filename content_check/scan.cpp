#include <algorithm>
#include <cstring>
#include <vector>

#include "content_check.h"

namespace {

// Compares the bytes with themselves shifted by a few places: once the first
// few are zero, equal means all are zero. memcmp runs at memory speed on every
// platform we build for, where a plain loop is not always vectorised.
bool all_zero(std::span<const unsigned char> bytes) {
  constexpr std::size_t shift = 16;
  const std::size_t head = std::min(shift, bytes.size());
  for (std::size_t i = 0; i < head; ++i)
    if (bytes[i] != 0) return false;
  return bytes.size() <= shift ||
         std::memcmp(bytes.data(), bytes.data() + shift, bytes.size() - shift) == 0;
}

}  // namespace

ScanResult scan_for_nonzero(ByteSource& input, std::span<unsigned char> buffer) {
  std::int64_t count = 0;  // bytes read or skipped as holes
  bool ask_for_holes = true;
  for (;;) {
    const std::int64_t length = input.length();
    if (count >= length) return ScanResult::not_found;

    // Never ask for more than the length promises, so that the count lands on
    // it exactly and the next measure decides whether the source has grown.
    std::int64_t stretch_end = length;
    if (ask_for_holes) {
      const DataExtent extent = input.next_data(count);
      if (extent.kind == DataExtent::unknown) {
        ask_for_holes = false;
      } else if (extent.kind == DataExtent::none) {
        count = length;  // zeros up to the end as measured; measure again
        continue;
      } else {
        // Every step moves forward: a hole is skipped, and a stretch that a
        // racing writer has already ended is still read for one block.
        count = std::max(count, extent.start);
        if (count >= length) continue;
        if (extent.end > count) stretch_end = std::min(stretch_end, extent.end);
      }
    }

    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), stretch_end - count));
    const std::ptrdiff_t got = input.read(buffer.first(want));
    if (got <= 0) return ScanResult::found;
    if (!all_zero(buffer.first(static_cast<std::size_t>(got)))) return ScanResult::found;
    count += got;
  }
}

ScanResult scan_for_nonzero(ByteSource& input) {
  // Large enough that reads from the page cache run at memory speed; one
  // buffer, whatever the size of the file.
  static constexpr std::size_t block_size = std::size_t{1} << 20;
  std::vector<unsigned char> buffer(block_size);
  return scan_for_nonzero(input, buffer);
}
