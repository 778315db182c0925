// Memory and processors on Windows: the scan's blocks committed from the
// system, and the processors of the process's affinity.
#include <windows.h>

#include <algorithm>
#include <bit>
#include <cstdint>

#include "machine.h"

namespace platform {

ScanBuffer::ScanBuffer(std::size_t size, std::size_t /*head*/) noexcept {
  // Whole pages from the system, aligned to its allocation granularity and
  // committed only as they are first touched.
  if (size == 0) return;
  void* const start = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (start == nullptr) return;
  mapping_ = {static_cast<unsigned char*>(start), Unmap{size}};
  size_ = size;
}

void ScanBuffer::Unmap::operator()(unsigned char* start) const noexcept {
  ::VirtualFree(start, 0, MEM_RELEASE);
}

std::size_t usable_processors() {
  // The processors the process may run on; the system's count where the
  // affinity cannot be read.
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0)
    return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process)));
  return std::max<std::size_t>(1, ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

}  // namespace platform
