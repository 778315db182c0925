// What the machine lends the scan: memory for its blocks and processors to
// read on.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace platform {

// Memory for the scan: size bytes aligned to a page, untouched until the
// first read. Its first head bytes are small pages, all that a short file's
// reads touch; the rest is mapped so that its first touch costs as few page
// faults as the system allows. Empty when the system has not that much to give:
// it never throws.
class ScanBuffer {
 public:
  ScanBuffer() = default;
  ScanBuffer(std::size_t size, std::size_t head) noexcept;

  std::span<unsigned char> bytes() const {
    if (!mapping_) return {};
    return {mapping_.get(), size_};
  }

 private:
  // Gives the memory back to the system, all that was mapped for it.
  struct Unmap {
    std::size_t mapped;
    void operator()(unsigned char* start) const noexcept;
  };

  std::unique_ptr<unsigned char, Unmap> mapping_;
  std::size_t size_ = 0;
};

// How many processors this process may run on (its affinity): at least 1.
std::size_t usable_processors();

}  // namespace platform
