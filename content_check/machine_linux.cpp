// Memory and processors on Linux: the scan's blocks mapped from the system,
// with huge pages where it grants them, and the processors of the affinity.
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>

#include "machine.h"

namespace platform {

namespace {

void* map_pages(std::size_t size) {
  void* const mapping =
      ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return mapping == MAP_FAILED ? nullptr : mapping;
}

}  // namespace

ScanBuffer::ScanBuffer(std::size_t size, std::size_t head) noexcept {
  if (size == 0) return;
  head = std::min(head, size);
  // Past the head, transparent huge pages, where the system grants them on
  // request: their first touch is one page fault instead of one for each
  // 4 KiB page, and page faults are dear on virtual machines. Elsewhere the
  // mapping is made of small pages, touched only as the reads fill them.
  constexpr std::size_t huge_page = std::size_t{2} << 20;
  const std::size_t huge = (size - head + huge_page - 1) / huge_page * huge_page;
  // Mapped with a huge page to spare, so that a boundary can be found in it
  // with the head just before it; what lies before and after is given back.
  if (huge > 0) {
    if (auto* const raw = static_cast<unsigned char*>(map_pages(head + huge + huge_page))) {
      const auto at = reinterpret_cast<std::uintptr_t>(raw) + head;
      unsigned char* const first = raw + (huge_page - at % huge_page) % huge_page;
      if (first != raw) ::munmap(raw, static_cast<std::size_t>(first - raw));
      const std::size_t after = huge_page - static_cast<std::size_t>(first - raw);
      ::munmap(first + head + huge, after);
      ::madvise(first + head, huge, MADV_HUGEPAGE);  // a refusal only leaves small pages
      mapping_ = {first, Unmap{head + huge}};
      size_ = size;
      return;
    }
  }
  // Short of room for the spare huge page: small pages only.
  if (void* const plain = map_pages(size)) {
    mapping_ = {static_cast<unsigned char*>(plain), Unmap{size}};
    size_ = size;
  }
}

void ScanBuffer::Unmap::operator()(unsigned char* start) const noexcept {
  ::munmap(start, mapped);
}

std::size_t usable_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  // The set is too small only on machines of more than 1024 processors.
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  return static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
}

}  // namespace platform
