// A byte source in memory for the scan's tests and fuzzing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "content_check.h"

using Bytes = std::vector<unsigned char>;

// A source over bytes in memory that can misreport its length, end early,
// fail, deliver short reads, or grow after it has been measured a few times.
struct MemorySource final : ByteSource {
  Bytes bytes;
  std::int64_t reported = -2;          // the length it claims; -2: the bytes' size
  std::size_t ends_after = SIZE_MAX;   // bytes delivered before the data ends
  std::size_t fails_after = SIZE_MAX;  // bytes delivered before a read fails
  std::size_t most_per_read = SIZE_MAX;
  Bytes appended;  // joins the data, and the length, at the grow_at-th measure
  int grow_at = -1;
  std::size_t cut_to = 0;  // the data and the length are cut to this at the cut_at-th measure
  int cut_at = -1;

  int measures = 0;
  std::size_t position = 0;

  std::int64_t length() override {
    ++measures;
    if (measures == cut_at) {
      bytes.resize(cut_to);
      if (reported >= 0) reported = static_cast<std::int64_t>(cut_to);
    }
    if (measures == grow_at) {
      bytes.insert(bytes.end(), appended.begin(), appended.end());
      if (reported >= 0) reported += static_cast<std::int64_t>(appended.size());
    }
    return reported == -2 ? static_cast<std::int64_t>(bytes.size()) : reported;
  }

  std::ptrdiff_t read(std::span<unsigned char> into) override {
    if (position >= fails_after) return -1;
    const std::size_t end = std::min({bytes.size(), ends_after, fails_after});
    const std::size_t n = std::min({into.size(), end - std::min(end, position), most_per_read});
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(position), n, into.begin());
    position += n;
    return static_cast<std::ptrdiff_t>(n);
  }
};
