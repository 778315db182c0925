#include <algorithm>
#include <cstring>
#include <memory>
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
  std::int64_t length = input.length();
  const bool bounded = length >= 0;
  bool ask_for_holes = bounded;
  std::int64_t stretch_end = 0;  // where the stretch known to hold data ends
  for (;;) {
    if (bounded && count >= length) {
      length = input.length();  // it may have grown meanwhile
      if (count >= length) return ScanResult::not_found;
    }

    if (ask_for_holes && count >= stretch_end) {
      const DataExtent extent = input.next_data(count);
      if (extent.kind == DataExtent::unknown) {
        ask_for_holes = false;
      } else if (extent.kind == DataExtent::none) {
        count = length;  // zeros up to the end as measured
        continue;
      } else {
        // Every step moves forward: a hole is skipped, and a stretch that a
        // racing writer has already ended is still read for one block.
        count = std::max(count, extent.start);
        stretch_end =
            extent.end > count ? extent.end : count + static_cast<std::int64_t>(buffer.size());
        if (count >= length) continue;
      }
    }

    // Never ask for more than the length promises, so that the count lands on
    // it exactly and a new measure decides whether the source has grown.
    const std::int64_t limit = !bounded        ? count + static_cast<std::int64_t>(buffer.size())
                               : ask_for_holes ? std::min(length, stretch_end)
                                               : length;
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), limit - count));
    const std::ptrdiff_t got = input.read(buffer.first(want));
    if (got < 0) return ScanResult::read_error;
    if (got == 0 && !bounded) return count == 0 ? ScanResult::empty : ScanResult::not_found;
    if (got == 0) {
      // The data ended early. If the source has been cut short to where the
      // scan stands, it ended at its new length; otherwise a byte is missing,
      // and a missing byte was not a zero.
      length = input.length();
      return count >= length ? ScanResult::not_found : ScanResult::found;
    }
    if (!all_zero(buffer.first(static_cast<std::size_t>(got)))) return ScanResult::found;
    count += got;
  }
}

ScanResult scan_for_nonzero(ByteSource& input) {
  // Measured here: 1 MiB reads from the page cache into a page-aligned buffer
  // run fastest; the same buffer misaligned by malloc costs a quarter more in
  // the kernel's copy. One buffer, whatever the size of the file.
  static constexpr std::size_t block_size = std::size_t{1} << 20;
  static constexpr std::size_t page_size = 4096;
  std::vector<unsigned char> storage(block_size + page_size);
  void* start = storage.data();
  std::size_t space = storage.size();
  std::align(page_size, block_size, start, space);
  return scan_for_nonzero(input, {static_cast<unsigned char*>(start), block_size});
}
