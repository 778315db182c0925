// A byte source in memory for the scan's tests and fuzzing.
#pragma once

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "scan.h"

using Bytes = std::vector<unsigned char>;

inline constexpr std::int64_t max_offset = INT64_MAX;

// What a MemorySource holds and how it misbehaves, for rows of designated
// initialisers: the bytes, which may follow a hole of any size, so that it can
// stand for a sparse file up to 2^63 - 1 bytes long (offsets count the hole
// too); a length it may misreport; an end of the data before the length; a
// failing read; short reads; growth or a cut after it has been measured a few
// times.
struct MemorySettings {
  Bytes bytes{};
  std::int64_t hole = 0;                  // zero bytes, never stored, before the bytes
  std::int64_t reported = -2;             // the length it claims; -2: the hole and the bytes
  std::int64_t ends_after = max_offset;   // where the data ends
  int ends_times = INT_MAX;               // reads that meet that end before the rest comes
  std::int64_t fails_after = max_offset;  // where a read fails
  std::size_t most_per_read = SIZE_MAX;
  Bytes appended{};  // joins the data, and the length, at the grow_at-th measure
  int grow_at = -1;
  std::size_t cut_to = 0;  // the bytes and the length are cut to this at the cut_at-th measure
  int cut_at = -1;

  // Hole queries: when known, next_data tells truly where the bytes lie, except
  // that from no_data_from on it answers that no data follows, as tmpfs has
  // over data near 2^63, and that with end_unknown it cannot tell where a
  // stretch ends, as next_data_with makes of btrfs's answer there.
  bool knows_holes = false;
  std::int64_t no_data_from = max_offset;
  bool end_unknown = false;

  // Answers reads at an offset, from several threads at once, as a file does.
  bool positioned_reads = false;

  // Change stamps: none when it cannot tell; with stamps, one that stays put,
  // or one that moves at each asking, as a file's does while a writer keeps
  // cutting and growing it.
  bool stamps = false;
  bool stamp_moves = false;
};

struct MemorySource final : ByteSource, MemorySettings {
  MemorySource() = default;
  explicit MemorySource(MemorySettings settings) : MemorySettings(std::move(settings)) {}

  int measures = 0;
  std::int64_t position = 0;

  std::int64_t stored_end() const { return hole + static_cast<std::int64_t>(bytes.size()); }
  std::int64_t current_length() const { return reported == -2 ? stored_end() : reported; }

  std::int64_t length() override {
    ++measures;
    if (measures == cut_at) {
      bytes.resize(cut_to);
      if (reported >= 0) reported = hole + static_cast<std::int64_t>(cut_to);
    }
    if (measures == grow_at) {
      bytes.insert(bytes.end(), appended.begin(), appended.end());
      if (reported >= 0) reported += static_cast<std::int64_t>(appended.size());
    }
    return current_length();
  }

  std::ptrdiff_t read(std::span<unsigned char> into) override {
    const std::ptrdiff_t got = read_at(into, position);
    if (got > 0) position += got;
    return got;
  }

  bool positioned() const override { return positioned_reads; }

  // Changes nothing but the count of reads left to meet the end, which
  // readers on several threads take their turns at.
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    if (offset >= fails_after) return -1;
    // Linux refuses a read that would end past the largest offset.
    if (into.size() > static_cast<std::uint64_t>(max_offset - offset)) return -1;
    std::atomic_ref<int> ends_left(ends_times);
    if (offset >= ends_after) {
      for (int left = ends_left.load(); left > 0;)
        if (ends_left.compare_exchange_weak(left, left - 1)) return 0;
    }
    std::int64_t end = std::min(stored_end(), fails_after);
    if (ends_left.load() > 0) end = std::min(end, ends_after);
    if (offset < hole) end = std::min(end, hole);
    const auto most =
        static_cast<std::int64_t>(std::min({into.size(), most_per_read, SIZE_MAX / 2}));
    const std::int64_t n = std::min(most, end - offset);
    if (n <= 0) return 0;
    if (offset < hole)
      std::fill_n(into.begin(), n, 0);
    else
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset - hole), n, into.begin());
    return static_cast<std::ptrdiff_t>(n);
  }

  DataExtent next_data(std::int64_t offset) override {
    if (!knows_holes) return {};
    if (offset >= no_data_from || offset >= stored_end()) return {DataExtent::none, offset, offset};
    position = std::max(offset, hole);
    return {DataExtent::data, position, end_unknown ? position : stored_end()};
  }

  bool seek(std::int64_t offset) override {
    if (!knows_holes || offset < 0) return false;
    position = offset;
    return true;
  }

  int stamps_asked = 0;

  std::optional<ChangeStamp> change_stamp() override {
    if (!stamps) return std::nullopt;
    ++stamps_asked;
    return ChangeStamp{.size = current_length(), .changed = stamp_moves ? stamps_asked : 0};
  }
};
