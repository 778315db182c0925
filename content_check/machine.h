// What the machine lends the scan: memory for its blocks and processors to
// read on.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

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
  ScanBuffer(ScanBuffer&& other) noexcept
      : mapping_(std::exchange(other.mapping_, nullptr)),
        mapped_(std::exchange(other.mapped_, 0)),
        bytes_(std::exchange(other.bytes_, {})) {}
  ScanBuffer& operator=(ScanBuffer&& other) noexcept {
    std::swap(mapping_, other.mapping_);
    std::swap(mapped_, other.mapped_);
    std::swap(bytes_, other.bytes_);
    return *this;
  }
  ~ScanBuffer();

  std::span<unsigned char> bytes() const { return bytes_; }

 private:
  void* mapping_ = nullptr;
  std::size_t mapped_ = 0;
  std::span<unsigned char> bytes_;
};

// How many processors this process may run on (its affinity): at least 1.
std::size_t usable_processors();

}  // namespace platform
