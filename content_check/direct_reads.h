// Reads at offsets that go around the system's page cache where the data is
// not in it: which reads may, and what happens when the system will not have
// them. The calls themselves are the platform's, passed in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

// Whether the bytes of a stretch are in the system's cache: most of them,
// or any of them waiting to be written (cached); few or none (cold); or the
// system cannot tell (unknown), which it will not be asked again.
enum class Residence { cached, cold, unknown };

// What the direct path asks of the system for one open file: its calls on
// the file, a fake in tests that makes data cold or cached, or refuses direct
// reads the ways file systems do.
class DirectCalls {
 public:
  virtual ~DirectCalls() = default;
  virtual Residence residence(std::int64_t offset, std::size_t size) = 0;
  // Opens the file a second time, for reads that go around the cache; the
  // alignment that their offsets, sizes and addresses need, or 0 when it
  // cannot be had.
  virtual std::size_t open_direct() = 0;
  // A read through that second opening: the count read, 0 at the end of the
  // data, -1 when it failed or was refused.
  virtual std::ptrdiff_t read_direct(std::span<unsigned char> into, std::int64_t offset) = 0;
  // A read as every other read of the file goes: through the cache.
  virtual std::ptrdiff_t read_cached(std::span<unsigned char> into, std::int64_t offset) = 0;
};

// A read at an offset, as pread has it, from several threads at once: cold
// data read directly, in the part of the read that is aligned, and everything
// else read through the cache as before. Direct reads give the same bytes,
// counts and ends as cached ones, so the scan's walk decides as it always
// has. The second opening is made at the first cold read that could use it;
// when it cannot be made, or a direct read fails, that read is made again
// through the cache and the direct path is off for the rest of the run.
class DirectReads {
 public:
  explicit DirectReads(DirectCalls& calls) : calls_(calls) {}

  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset);

  // The direct path will not be tried again, as when the file is closed.
  void stop() { state_ = off; }

 private:
  enum State { untried, on, off };

  // The alignment of direct reads once the second opening is had; 0 when it
  // cannot be.
  std::size_t alignment();

  DirectCalls& calls_;
  std::atomic<int> state_ = untried;
  std::atomic<std::size_t> alignment_ = 0;
  std::mutex opening_;
};
