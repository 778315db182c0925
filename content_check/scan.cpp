#include <algorithm>
#include <vector>

#include "content_check.h"

namespace {

bool all_zero(std::span<const unsigned char> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0; });
}

}  // namespace

ScanResult scan_for_nonzero(ByteSource& input, std::span<unsigned char> buffer) {
  std::int64_t count = 0;
  for (;;) {
    const std::int64_t length = input.length();
    if (count >= length) return ScanResult::not_found;
    // Never ask for more than the length promises, so that the count lands on
    // it exactly and the next measure decides whether the source has grown.
    const auto want = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(buffer.size()), length - count));
    const std::ptrdiff_t got = input.read(buffer.first(want));
    if (got <= 0) return ScanResult::found;
    if (!all_zero(buffer.first(static_cast<std::size_t>(got)))) return ScanResult::found;
    count += got;
  }
}

ScanResult scan_for_nonzero(ByteSource& input) {
  static constexpr std::size_t block_size = std::size_t{1} << 20;
  std::vector<unsigned char> buffer(block_size);
  return scan_for_nonzero(input, buffer);
}
