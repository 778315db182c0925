// Reads at offsets, cold data around the cache: the choice for each read.
#include "direct_reads.h"

#include <algorithm>
#include <cstdint>

std::size_t DirectReads::alignment() {
  if (state_ == on) return alignment_;
  const std::lock_guard<std::mutex> locked(opening_);
  if (state_ == untried) {
    const std::size_t alignment = calls_.open_direct();
    alignment_ = alignment;
    state_ = alignment > 0 ? on : off;
  }
  return state_ == on ? alignment_.load() : 0;
}

std::ptrdiff_t DirectReads::read_at(std::span<unsigned char> into, std::int64_t offset) {
  if (state_ == off || into.empty()) return calls_.read_cached(into, offset);
  // Data in the cache is read from there, as fast as it can be had; and so is
  // data waiting to be written, which a direct read would first have to write.
  const Residence residence = calls_.residence(offset, into.size());
  if (residence == Residence::unknown) state_ = off;
  if (residence != Residence::cold) return calls_.read_cached(into, offset);
  const std::size_t alignment = this->alignment();
  if (alignment == 0) return calls_.read_cached(into, offset);
  // A head before the first aligned offset is read through the cache up to
  // that offset, so that the walk's next read starts on it; so is a buffer
  // that is not aligned, and a tail shorter than the alignment.
  const auto skew = static_cast<std::size_t>(static_cast<std::uint64_t>(offset) % alignment);
  if (skew != 0)
    return calls_.read_cached(into.first(std::min(into.size(), alignment - skew)), offset);
  const std::size_t aligned = into.size() / alignment * alignment;
  if (aligned == 0 || reinterpret_cast<std::uintptr_t>(into.data()) % alignment != 0)
    return calls_.read_cached(into, offset);
  const std::ptrdiff_t got = calls_.read_direct(into.first(aligned), offset);
  if (got >= 0) return got;
  // Refused (a file system that takes direct reads only of some files, or
  // only at some alignments) or failed: the read is made as it always was,
  // and says what it says.
  state_ = off;
  return calls_.read_cached(into, offset);
}
