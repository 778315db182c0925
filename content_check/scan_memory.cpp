// The run's memory for the scan: readers by the processors, blocks by what the
// system gives.
#include "scan_memory.h"

#include <algorithm>

platform::ScanBuffer scan_buffer() {
  // On one processor a second reader would only take turns with the first.
  const std::size_t processors = platform::usable_processors();
  const std::size_t wanted = std::min(processors > 1 ? processors + 1 : 1, most_readers);
  for (std::size_t readers = wanted; readers > 0; --readers) {
    platform::ScanBuffer buffer(readers * scan_block, first_read);
    if (!buffer.bytes().empty()) return buffer;
  }
  // Short of memory: smaller blocks, down to a page.
  for (std::size_t size = scan_block / 2; size >= 4096; size /= 2) {
    platform::ScanBuffer buffer(size, std::min(size, first_read));
    if (!buffer.bytes().empty()) return buffer;
  }
  return {};
}

ScanResult scan_for_nonzero(ByteSource& input, const platform::ScanBuffer& buffer,
                            ScanProgress* progress) {
  const std::span<unsigned char> bytes = buffer.bytes();
  return scan_for_nonzero(input, bytes, progress,
                          std::max<std::size_t>(1, bytes.size() / scan_block));
}

ScanResult scan_for_nonzero(ByteSource& input, ScanProgress* progress) {
  return scan_for_nonzero(input, scan_buffer(), progress);
}
