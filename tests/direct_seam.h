// A source in memory whose reads at offsets go through DirectReads, the
// program's own choice between direct reads and reads through the cache, with
// the system's answers given by a fake: the data cold, cached, both by turns,
// or of unknown residence, and direct reads refused at the opening, at the
// first read or later. Direct and cached reads deliver the same bytes, ends
// and failures, the memory source's.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>

#include "direct_reads.h"
#include "memory_source.h"

struct DirectSettings {
  enum class Cache { cold, cached, by_turns, unknown };
  Cache cache = Cache::cold;
  std::size_t alignment = 4;   // what direct reads need; 0: refused at the opening
  int refused_from = INT_MAX;  // direct reads fail from this one on, counted from 0
  // by_turns: stretches of this many bytes, cold and cached in turn from a cold one
  std::int64_t turn = 16;
};

struct DirectSource final : ByteSource, DirectCalls {
  DirectSource(MemorySettings memory_settings, DirectSettings direct_settings)
      : memory(std::move(memory_settings)), direct(direct_settings) {}

  MemorySource memory;
  DirectSettings direct;
  DirectReads reads{*this};

  // What the direct path did.
  std::atomic<int> queries = 0, opens = 0, direct_reads = 0, misaligned = 0;
  std::atomic<std::int64_t> direct_bytes = 0, cached_bytes = 0;

  std::int64_t length() override { return memory.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return memory.read(into); }
  bool positioned() const override { return memory.positioned(); }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    return reads.read_at(into, offset);
  }
  DataExtent next_data(std::int64_t offset) override { return memory.next_data(offset); }
  bool seek(std::int64_t offset) override { return memory.seek(offset); }
  std::optional<ChangeStamp> change_stamp() override { return memory.change_stamp(); }

  Residence residence(std::int64_t offset, std::size_t) override {
    ++queries;
    switch (direct.cache) {
      case DirectSettings::Cache::cold:
        return Residence::cold;
      case DirectSettings::Cache::cached:
        return Residence::cached;
      case DirectSettings::Cache::by_turns:
        return offset / direct.turn % 2 == 0 ? Residence::cold : Residence::cached;
      case DirectSettings::Cache::unknown:
        break;
    }
    return Residence::unknown;
  }
  std::size_t open_direct() override {
    ++opens;
    return direct.alignment;
  }
  // As the kernel does, a read that is not aligned is refused; and noted, for
  // the program should never ask for one.
  std::ptrdiff_t read_direct(std::span<unsigned char> into, std::int64_t offset) override {
    const auto a = static_cast<std::int64_t>(direct.alignment);
    if (a == 0 || offset % a != 0 || static_cast<std::int64_t>(into.size()) % a != 0 ||
        reinterpret_cast<std::uintptr_t>(into.data()) % direct.alignment != 0) {
      ++misaligned;
      return -1;
    }
    if (direct_reads++ >= direct.refused_from) return -1;
    const std::ptrdiff_t got = memory.read_at(into, offset);
    direct_bytes += std::max<std::ptrdiff_t>(got, 0);
    return got;
  }
  std::ptrdiff_t read_cached(std::span<unsigned char> into, std::int64_t offset) override {
    const std::ptrdiff_t got = memory.read_at(into, offset);
    cached_bytes += std::max<std::ptrdiff_t>(got, 0);
    return got;
  }
};

// The ways the direct path is tried, for the scan's tables.
struct DirectWay {
  const char* what;
  DirectSettings settings;
};

inline constexpr DirectWay direct_ways[] = {
    {"cold", {}},
    {"cached", {.cache = DirectSettings::Cache::cached}},
    {"cold and cached by turns", {.cache = DirectSettings::Cache::by_turns}},
    {"residence unknown", {.cache = DirectSettings::Cache::unknown}},
    {"refused at the opening", {.alignment = 0}},
    {"refused at the first read", {.refused_from = 0}},
    {"failing at the third read", {.refused_from = 2}},
    {"aligned to 16", {.alignment = 16}},
};
