// A bench-only driver, not part of the program: scans one file with a given
// number of readers, the program's own scan linked in, and prints the seconds
// the scan took, start-up left out. The program itself chooses its readers by
// its processors; this lets bench/run try any number of them.
//
// Usage: scan_readers FILE READERS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "input.h"
#include "machine.h"
#include "scan.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: scan_readers FILE READERS\n");
    return 2;
  }
  const auto readers = static_cast<std::size_t>(std::strtoul(argv[2], nullptr, 10));
  const std::unique_ptr<platform::Input> input = platform::open_input(argv[1]);
  const platform::ScanBuffer buffer(readers * scan_block, first_read);
  if (!input || buffer.bytes().empty()) return 1;
  const auto start = std::chrono::steady_clock::now();
  const ScanResult result = scan_for_nonzero(*input, buffer.bytes(), nullptr, readers);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.6f %d\n", took.count(), static_cast<int>(result));
  return 0;
}
