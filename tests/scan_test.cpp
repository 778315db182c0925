// The scan over byte sources in memory: answers, reads by several readers, and the zero check.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "direct_seam.h"
#include "machine.h"
#include "memory_source.h"
#include "scan_memory.h"
#include "test_names.h"

namespace {

using row_printing::PrintTo;

Bytes zeros_then(std::size_t zeros, std::vector<unsigned char> tail = {}) {
  Bytes bytes(zeros, 0);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

struct ScanCase {
  const char* what;
  MemorySettings source;
  ScanResult expected;
};

// Sparse sources up to the largest length, 2^63 - 1, their bytes at the end.
constexpr std::int64_t last_4096 = max_offset - 4096;
constexpr std::int64_t last_5001 = max_offset - 5001;

std::vector<ScanCase> scan_cases() {
  using enum ScanResult;
  return {
      {"one zero byte", {.bytes = {0x00}}, not_found},
      {"one non-zero byte", {.bytes = {0x01}}, found},
      {"1000 zeros then 0x41", {.bytes = zeros_then(1000, {0x41})}, found},
      {"only the last byte non-zero", {.bytes = zeros_then(4095, {0x80})}, found},
      {"4096 zeros", {.bytes = zeros_then(4096)}, not_found},
      // A byte that does not come is no evidence either way.
      {"data that ends again at one place short of the length is no answer",
       {.bytes = zeros_then(10), .ends_after = 9},
       read_error},
      {"data that ends again at one place, the source unchanged, is no answer",
       {.bytes = zeros_then(10), .ends_after = 9, .stamps = true},
       read_error},
      {"a source shorter than its length, the source unchanged, is no answer",
       {.bytes = zeros_then(10), .reported = 11, .stamps = true},
       read_error},
      // A writer cut and grew the file between the ends, as its stamp shows.
      {"data that ends again at one place after the source changed is read on",
       {.bytes = zeros_then(20),
        .ends_after = 12,
        .ends_times = 3,
        .stamps = true,
        .stamp_moves = true},
       not_found},
      {"a source that changes at every end is read on a few times, then no answer",
       {.bytes = zeros_then(20), .reported = 30, .stamps = true, .stamp_moves = true},
       read_error},
      // A writer cut the file and grew it again with zeros while it was read.
      {"a source cut and grown again is read on",
       {.bytes = zeros_then(20), .ends_after = 12, .ends_times = 1},
       not_found},
      {"cut and grown again, then a non-zero byte",
       {.bytes = zeros_then(15, {0x02, 0}), .ends_after = 12, .ends_times = 1},
       found},
      {"zeros in short reads", {.bytes = zeros_then(100), .most_per_read = 3}, not_found},
      {"a non-zero byte after short reads",
       {.bytes = zeros_then(100, {7}), .most_per_read = 3},
       found},
      {"a read that fails is no answer", {.bytes = zeros_then(10), .fails_after = 4}, read_error},
      {"a read that fails at once is no answer",
       {.bytes = zeros_then(10), .fails_after = 0},
       read_error},
      // Whichever reader meets it first, the byte that comes first decides.
      {"a read that fails before a non-zero byte",
       {.bytes = zeros_then(5000, {1}), .fails_after = 1000},
       read_error},
      {"a non-zero byte before a read that fails",
       {.bytes = zeros_then(1000, {1, 0, 0, 0}), .fails_after = 1002},
       found},

      // Sources without a length: pipes and character devices.
      {"no length and no byte", {.reported = -1, .most_per_read = 5}, empty},
      {"no length and zeros",
       {.bytes = zeros_then(100), .reported = -1, .most_per_read = 5},
       not_found},
      {"no length and a non-zero byte",
       {.bytes = zeros_then(100, {0x01}), .reported = -1, .most_per_read = 5},
       found},
      {"no length and a failing read",
       {.bytes = zeros_then(100), .reported = -1, .fails_after = 50, .most_per_read = 5},
       read_error},

      // A length of 0 is confirmed by a read: files in /proc report it over text.
      {"length 0 and no byte", {.reported = 0}, empty},
      {"length 0 over text", {.bytes = {'L', 'i', 'n', 'u', 'x'}, .reported = 0}, found},
      {"length 0 over zeros", {.bytes = zeros_then(100), .reported = 0}, not_found},
      {"length 0 and a failing read",
       {.bytes = zeros_then(100), .reported = 0, .fails_after = 0},
       read_error},

      {"2^63 - 1 bytes, the last one non-zero",
       {.bytes = zeros_then(4095, {1}), .hole = last_4096, .knows_holes = true},
       found},
      {"2^63 - 1 bytes, zeros stored at the end",
       {.bytes = zeros_then(4096), .hole = last_4096, .knows_holes = true},
       not_found},
      {"2^63 - 1 bytes, all hole", {.hole = max_offset, .knows_holes = true}, not_found},
      // btrfs answers the end of a stretch ending at 2^63 with -2^63, which does
      // not tell where it ends.
      {"2^63 - 1 bytes, stretch end unknown",
       {.bytes = zeros_then(5000, {1}),
        .hole = last_5001,
        .knows_holes = true,
        .end_unknown = true},
       found},
      {"2^63 - 1 zeros, stretch end unknown",
       {.bytes = zeros_then(5001), .hole = last_5001, .knows_holes = true, .end_unknown = true},
       not_found},
      // tmpfs answers that no data follows over data in the last page below 2^63.
      {"2^63 - 1 bytes, no data claimed at the end",
       {.bytes = zeros_then(4095, {1}), .hole = last_4096, .knows_holes = true, .no_data_from = 0},
       found},
      {"2^63 - 1 bytes, no data claimed midway",
       {.bytes = zeros_then(4095, {1}),
        .hole = last_4096,
        .knows_holes = true,
        .no_data_from = last_4096 + 7,
        .end_unknown = true},
       found},
      {"2^63 - 1 bytes claimed and 100 delivered",
       {.bytes = zeros_then(100), .reported = max_offset, .knows_holes = true},
       read_error},

      {"bytes past the length are not examined",
       {.bytes = zeros_then(5, {0x01}), .reported = 5},
       not_found},
      {"a source that grows is read to its new end",
       {.bytes = zeros_then(20), .appended = {0, 0, 0x33}, .grow_at = 2},
       found},
      {"a source that grows with zeros",
       {.bytes = zeros_then(20), .appended = zeros_then(30), .grow_at = 2},
       not_found},
      // The data ends at 12 bytes and the length, measured again then, says 12.
      {"a source cut short ends at its new length",
       {.bytes = zeros_then(20), .ends_after = 12, .cut_to = 12, .cut_at = 2},
       not_found},
      {"a non-zero byte before a cut is found",
       {.bytes = zeros_then(10, {0x09, 0, 0}), .cut_to = 12, .cut_at = 2},
       found},
  };
}

MemorySettings positioned(MemorySettings s) {
  s.positioned_reads = true;
  return s;
}

class Scan : public testing::TestWithParam<ScanCase> {};

// Found exactly when a byte is not zero.
TEST_P(Scan, FindsNonZero) {
  MemorySource source(GetParam().source);
  EXPECT_EQ(scan_for_nonzero(source), GetParam().expected);
}

// The same answer through a small buffer.
TEST_P(Scan, SmallBuffer) {
  MemorySource source(GetParam().source);
  unsigned char buffer[8];
  EXPECT_EQ(scan_for_nonzero(source, buffer), GetParam().expected);
}

// The same answer with several readers: blocks of 8 bytes, so that the readers beyond the caller's
// start after the first 64 bytes, and with the run's own memory.
TEST_P(Scan, SeveralReaders) {
  for (std::size_t readers = 1; readers <= most_readers; ++readers) {
    MemorySource source(positioned(GetParam().source));
    std::vector<unsigned char> buffer(8 * readers);
    EXPECT_EQ(scan_for_nonzero(source, buffer, nullptr, readers), GetParam().expected)
        << readers << " readers";
  }
  MemorySource source(positioned(GetParam().source));
  EXPECT_EQ(scan_for_nonzero(source), GetParam().expected) << "the run's memory";
}

// The same answer where reads at offsets may go around the cache: cold data
// read directly in its aligned part and cached data as before, and direct
// reads that cannot be had, or fail, made again as before. Through small
// blocks with one reader and several, and through the run's memory.
TEST_P(Scan, ThroughTheDirectPath) {
  for (const DirectWay& way : direct_ways) {
    for (const std::size_t readers : {std::size_t{1}, std::size_t{3}}) {
      DirectSource source(positioned(GetParam().source), way.settings);
      std::vector<unsigned char> buffer(16 * readers);
      EXPECT_EQ(scan_for_nonzero(source, buffer, nullptr, readers), GetParam().expected)
          << way.what << ", " << readers << " readers";
      EXPECT_EQ(source.misaligned, 0) << way.what;
      EXPECT_LE(source.opens, 1) << way.what;
    }
    DirectSource source(positioned(GetParam().source), way.settings);
    EXPECT_EQ(scan_for_nonzero(source), GetParam().expected) << way.what << ", the run's memory";
    EXPECT_EQ(source.misaligned, 0) << way.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Scan, testing::ValuesIn(scan_cases()),
                         [](const testing::TestParamInfo<ScanCase>& c) {
                           return test_name(c.param.what);
                         });

// A writer that keeps cutting and growing the file moves its stamp at every
// end: the scan reads on, but only a few times, whatever the writer does.
TEST(ScanEnds, AreReadOnABoundedNumberOfTimesWhileTheSourceKeepsChanging) {
  for (const bool positioned_reads : {false, true}) {
    MemorySource source({.bytes = zeros_then(20),
                         .reported = 30,
                         .positioned_reads = positioned_reads,
                         .stamps = true,
                         .stamp_moves = true});
    unsigned char buffer[8];
    EXPECT_EQ(scan_for_nonzero(source, buffer), ScanResult::read_error);
    EXPECT_GT(source.stamps_asked, 2) << "read on after the source changed";
    EXPECT_LE(source.stamps_asked, 10) << "held in place by a writer";
  }
}

// Puts the one non-zero byte at each side of the buffer's boundaries, and on
// each side of the 16 bytes that the zero check looks at first.
TEST(ScanBoundaries, FindsAByteOnEitherSideOfEachBlockBoundary) {
  constexpr std::size_t block = 48;
  for (std::size_t at : {std::size_t{0}, std::size_t{15}, std::size_t{16}, block - 1, block,
                         block + 15, block + 16, 2 * block - 1, 2 * block, 3 * block - 1}) {
    MemorySource s({.bytes = zeros_then(3 * block)});
    s.bytes[at] = 0x01;
    unsigned char buffer[block];
    EXPECT_EQ(scan_for_nonzero(s, buffer), ScanResult::found) << "non-zero byte at " << at;
  }
  MemorySource clean({.bytes = zeros_then(3 * block)});
  unsigned char buffer[block];
  EXPECT_EQ(scan_for_nonzero(clean, buffer), ScanResult::not_found);
}

// The same through the direct path, read as a file is, by one reader and by
// two: the byte on either side of each block boundary and of each aligned
// part of a read, in files that end on an alignment and off it.
TEST(ScanBoundaries, FindsAByteOnEitherSideOfEachBoundaryThroughTheDirectPath) {
  constexpr std::size_t block = 48;
  for (const DirectWay& way : direct_ways) {
    for (const std::size_t size : {3 * block, 3 * block + 5}) {
      for (const std::size_t readers : {std::size_t{1}, std::size_t{2}}) {
        for (std::size_t at = 0; at <= size; ++at) {
          DirectSource s({.bytes = zeros_then(size), .positioned_reads = true}, way.settings);
          if (at < size) s.memory.bytes[at] = 0x01;
          alignas(64) unsigned char buffer[2 * block];
          EXPECT_EQ(scan_for_nonzero(s, std::span(buffer, readers * block), nullptr, readers),
                    at < size ? ScanResult::found : ScanResult::not_found)
              << way.what << ", " << size << " bytes, non-zero byte at " << at << ", " << readers
              << " readers";
          EXPECT_EQ(s.misaligned, 0) << way.what;
        }
      }
    }
  }
}

// Which bytes go around the cache: where the data is cold, all those of
// aligned offsets that fill aligned sizes; the rest through the cache. A
// direct path that cannot be had is asked for once, and a direct read that
// fails is not tried again.
TEST(DirectReads, GoAroundTheCacheWhereTheDataIsColdAndTheReadAligned) {
  constexpr std::size_t block = 64;
  using Cache = DirectSettings::Cache;
  const struct {
    const char* what;
    MemorySettings source;
    DirectSettings direct;
    std::int64_t direct_bytes;  // read around the cache
    int opens = 1;
    int direct_reads = -1;  // when it matters
    int queries = -1;       // when it matters
  } cases[] = {
      // The last read, 41 bytes at 960, takes 32 directly and leaves 9.
      {"cold", {.bytes = zeros_then(1000, {1})}, {.alignment = 16}, 992},
      {"cold, its length aligned", {.bytes = zeros_then(1023, {1})}, {.alignment = 16}, 1024},
      {"cold, a tail shorter than the alignment", {.bytes = zeros_then(10)}, {.alignment = 16}, 0},
      {"cached", {.bytes = zeros_then(1000, {1})}, {.cache = Cache::cached}, 0, 0},
      // Stretches of 64 bytes, the first cold.
      {"cold and cached by turns",
       {.bytes = zeros_then(1000, {1})},
       {.cache = Cache::by_turns, .alignment = 16, .turn = 64},
       8 * 64},
      {"residence unknown",
       {.bytes = zeros_then(1000, {1})},
       {.cache = Cache::unknown},
       0,
       0,
       0,
       1},
      {"refused at the opening", {.bytes = zeros_then(1000, {1})}, {.alignment = 0}, 0},
      {"refused at the first read",
       {.bytes = zeros_then(1000, {1})},
       {.alignment = 16, .refused_from = 0},
       0,
       1,
       1},
      {"failing at the third read",
       {.bytes = zeros_then(1000, {1})},
       {.alignment = 16, .refused_from = 2},
       2 * 64,
       1,
       3},
      // Short reads leave offsets off the alignment: the head up to the next
      // aligned offset comes through the cache, 3 bytes at a time, and then
      // 3 bytes directly of each 16.
      {"short reads", {.bytes = zeros_then(63, {1}), .most_per_read = 3}, {.alignment = 16}, 12},
  };
  for (const auto& c : cases) {
    MemorySettings settings = c.source;
    settings.positioned_reads = true;
    DirectSource source(settings, c.direct);
    alignas(block) unsigned char buffer[block];
    const ScanResult expected =
        std::any_of(settings.bytes.begin(), settings.bytes.end(), [](auto b) { return b != 0; })
            ? ScanResult::found
            : ScanResult::not_found;
    EXPECT_EQ(scan_for_nonzero(source, buffer), expected) << c.what;
    EXPECT_EQ(source.direct_bytes, c.direct_bytes) << c.what;
    EXPECT_EQ(source.direct_bytes + source.cached_bytes,
              static_cast<std::int64_t>(settings.bytes.size()))
        << c.what << ": each byte read once";
    EXPECT_EQ(source.opens, c.opens) << c.what;
    if (c.direct_reads >= 0) {
      EXPECT_EQ(source.direct_reads, c.direct_reads) << c.what;
    }
    if (c.queries >= 0) {
      EXPECT_EQ(source.queries, c.queries) << c.what;
    }
    EXPECT_EQ(source.misaligned, 0) << c.what;
  }
}

// Both widths of the zero check, the one this processor uses and the 16-byte
// one used where there is no AVX2: one non-zero byte at every place of spans
// around the sizes of a lane, of four lanes and of a page, starting off any
// alignment.
TEST(ZeroCheck, FindsOneNonZeroByteWhereverItLies) {
  constexpr std::size_t sizes[] = {0,   1,   15,  16,   17,   63,   64,        65,
                                   127, 128, 129, 4095, 4096, 4097, 8192 + 130};
  std::vector<unsigned char> bytes(8192 + 130 + 32, 0);
  for (const auto check : {&all_zero, &all_zero_16}) {
    for (const std::size_t skew : {0u, 1u, 7u, 31u}) {
      for (const std::size_t size : sizes) {
        const std::span<const unsigned char> span(bytes.data() + skew, size);
        EXPECT_TRUE(check(span)) << size << " zeros from " << skew;
        for (std::size_t at = 0; at < size; ++at) {
          bytes[skew + at] = at % 2 == 0 ? 0x01 : 0x80;
          EXPECT_FALSE(check(span)) << "byte " << at << " of " << size << " from " << skew;
          bytes[skew + at] = 0;
        }
      }
    }
  }
}

// No memory at all for the scan is no answer either way.
TEST(ScanMemory, NoneIsAReadError) {
  const platform::ScanBuffer none;
  for (const bool positioned : {false, true}) {
    MemorySource source({.bytes = {0x01}, .positioned_reads = positioned});
    EXPECT_EQ(scan_for_nonzero(source, none), ScanResult::read_error);
  }
}

// A positioned source of zeros, with a non-zero byte where asked, that notes
// which threads read it and how much. Nothing here depends on timing: every
// read but the caller's first (the one before other readers are started)
// waits, a few seconds at most, until as many threads as asked have come to
// read, so that every reader gets its turn; and a
// read that starts after the non-zero byte was delivered waits a fifth of a
// second, long enough for the reader that met it to have said so.
struct WatchedSource final : ByteSource {
  MemorySource memory;
  std::size_t readers;
  std::thread::id caller = std::this_thread::get_id();
  std::mutex lock;
  std::condition_variable arrived;
  std::set<std::thread::id> threads;
  int callers_reads = 0;
  bool gave_up = false;  // the readers did not all come: no more waiting
  bool delivered = false;
  int reads_after = 0;  // reads started after the non-zero byte was delivered
  std::int64_t bytes_read = 0;

  WatchedSource(std::size_t size, std::size_t reader_count)
      : memory({.bytes = zeros_then(size)}), readers(reader_count) {}
  std::int64_t length() override { return memory.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return memory.read(into); }
  bool positioned() const override { return true; }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    {
      std::unique_lock<std::mutex> locked(lock);
      threads.insert(std::this_thread::get_id());
      arrived.notify_all();
      const bool callers_first = std::this_thread::get_id() == caller && ++callers_reads == 1;
      if (!callers_first && !gave_up)
        gave_up = !arrived.wait_for(locked, std::chrono::seconds(5),
                                    [this] { return threads.size() >= readers; });
      if (delivered && ++reads_after <= static_cast<int>(readers)) {
        locked.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }
    const std::ptrdiff_t got = memory.read_at(into, offset);
    const std::lock_guard<std::mutex> locked(lock);
    bytes_read += std::max<std::ptrdiff_t>(got, 0);
    delivered =
        delivered || std::any_of(into.begin(), into.begin() + std::max<std::ptrdiff_t>(got, 0),
                                 [](unsigned char b) { return b != 0; });
    return got;
  }
};

// Records every report, and whether each came on the caller's thread.
struct Reports final : ScanProgress {
  std::vector<std::int64_t> bytes;
  bool elsewhere = false;
  std::thread::id caller = std::this_thread::get_id();
  void examined(std::int64_t b, std::int64_t) override {
    bytes.push_back(b);
    elsewhere = elsewhere || std::this_thread::get_id() != caller;
  }
};

// They read on as many threads as asked and tell the progress on the caller's only.
TEST(ScanReaders, AsManyThreadsAsAsked) {
  constexpr std::size_t block = 64;
  constexpr std::int64_t size = 1000 * block;
  for (std::size_t readers = 1; readers <= most_readers; ++readers) {
    WatchedSource source(size, readers);
    std::vector<unsigned char> buffer(block * readers);
    Reports reports;
    EXPECT_EQ(scan_for_nonzero(source, buffer, &reports, readers), ScanResult::not_found);
    EXPECT_EQ(source.threads.size(), readers);
    EXPECT_EQ(source.bytes_read, size) << "each byte read once";
    EXPECT_FALSE(reports.elsewhere) << readers << " readers";
    ASSERT_FALSE(reports.bytes.empty());
    EXPECT_TRUE(std::is_sorted(reports.bytes.begin(), reports.bytes.end()));
    EXPECT_EQ(reports.bytes.back(), size) << "every reader's bytes counted";
  }
}

// Records the size of every read asked for, passing everything on.
struct AskedReads final : ByteSource {
  MemorySource memory;
  std::vector<std::size_t> asked;
  explicit AskedReads(MemorySettings settings) : memory(std::move(settings)) {}
  std::int64_t length() override { return memory.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override {
    asked.push_back(into.size());
    return memory.read(into);
  }
  bool positioned() const override { return memory.positioned(); }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    asked.push_back(into.size());
    return memory.read_at(into, offset);
  }
};

// Whatever the source, a short run reads no more than the first read's size
// at first, and the reads grow from there to the block.
TEST(ScanReads, StartAtTheFirstReadAndGrowToTheBlock) {
  const Bytes bytes = zeros_then(4 * scan_block);
  const struct {
    const char* what;
    MemorySettings source;
  } sources[] = {
      {"a file", {.bytes = bytes, .positioned_reads = true}},
      {"a stream of known length", {.bytes = bytes}},
      {"a stream without a length", {.bytes = bytes, .reported = -1}},
      {"a file of length 0 over data", {.bytes = bytes, .reported = 0}},
  };
  for (const auto& [what, settings] : sources) {
    AskedReads source(settings);
    std::vector<unsigned char> buffer(scan_block);
    EXPECT_EQ(scan_for_nonzero(source, buffer), ScanResult::not_found) << what;
    ASSERT_GE(source.asked.size(), 3u) << what;
    EXPECT_EQ(source.asked[0], first_read) << what;
    EXPECT_EQ(source.asked[1], 4 * first_read) << what;
    EXPECT_EQ(*std::max_element(source.asked.begin(), source.asked.end()), scan_block) << what;
  }
}

// Zeros whose data ends once midway, late: the read that meets the end
// waits until another reader has read well past it.
struct EndsOnceLate final : ByteSource {
  MemorySource memory;
  std::int64_t ends_at;
  bool ended = false;
  std::int64_t furthest = 0;  // the end of the furthest read
  std::mutex lock;
  std::condition_variable read_past;
  EndsOnceLate(std::int64_t size, std::int64_t end)
      : memory({.bytes = Bytes(static_cast<std::size_t>(size), 0)}), ends_at(end) {}
  std::int64_t length() override { return memory.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return memory.read(into); }
  bool positioned() const override { return true; }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    std::unique_lock<std::mutex> locked(lock);
    if (offset == ends_at && !ended) {
      ended = true;
      read_past.wait_for(locked, std::chrono::seconds(5),
                         [this] { return furthest > ends_at + 4 * 64; });
      return 0;
    }
    const std::ptrdiff_t got = memory.read_at(into, offset);
    furthest = std::max(furthest, offset + got);
    read_past.notify_all();
    return got;
  }
};

// Where the data ends once midway, the others have read on past it; the
// caller's reader goes on from there alone, and the count it tells holds
// still until it passes theirs.
TEST(ScanReaders, TellACountThatNeverStepsBack) {
  constexpr std::size_t block = 64;
  constexpr std::int64_t size = 1000 * block;
  for (std::size_t readers = 2; readers <= most_readers; ++readers) {
    EndsOnceLate source(size, size / 2);
    std::vector<unsigned char> buffer(block * readers);
    Reports reports;
    EXPECT_EQ(scan_for_nonzero(source, buffer, &reports, readers), ScanResult::not_found);
    EXPECT_TRUE(source.ended);
    EXPECT_TRUE(std::is_sorted(reports.bytes.begin(), reports.bytes.end()))
        << readers << " readers";
    ASSERT_FALSE(reports.bytes.empty());
    EXPECT_EQ(reports.bytes.back(), size);
  }
}

// A reader that meets a non-zero byte stops the others: no stretch is taken
// after it, and a stretch beyond it is not read on. Each of the others may
// have started one read before it knew.
TEST(ScanReaders, StopSoonAfterANonZeroByte) {
  constexpr std::size_t block = 256;
  constexpr std::size_t at = 40 * block + 3;
  for (std::size_t readers = 1; readers <= most_readers; ++readers) {
    WatchedSource source(400 * block, readers);
    source.memory.bytes[at] = 0x01;
    std::vector<unsigned char> buffer(block * readers);
    EXPECT_EQ(scan_for_nonzero(source, buffer, nullptr, readers), ScanResult::found);
    EXPECT_LE(source.reads_after, static_cast<int>(readers - 1)) << readers << " readers";
    EXPECT_EQ(source.threads.size(), readers);
  }
}

// The reads of one place fail, but only once a non-zero byte further on has
// been delivered to another reader.
struct FailsLate final : ByteSource {
  MemorySource memory;
  std::int64_t fails_at;
  std::mutex lock;
  std::condition_variable nonzero_seen;
  bool delivered = false;

  FailsLate(Bytes bytes, std::int64_t failing)
      : memory({.bytes = std::move(bytes)}), fails_at(failing) {}
  std::int64_t length() override { return memory.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return memory.read(into); }
  bool positioned() const override { return true; }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    if (offset <= fails_at && fails_at < offset + static_cast<std::int64_t>(into.size())) {
      std::unique_lock<std::mutex> locked(lock);
      nonzero_seen.wait_for(locked, std::chrono::seconds(5), [this] { return delivered; });
      return -1;
    }
    const std::ptrdiff_t got = memory.read_at(into, offset);
    if (std::any_of(into.begin(), into.begin() + std::max<std::ptrdiff_t>(got, 0),
                    [](unsigned char b) { return b != 0; })) {
      const std::lock_guard<std::mutex> locked(lock);
      delivered = true;
      nonzero_seen.notify_all();
    }
    return got;
  }
};

// Whichever reader meets its byte first, the answer is the one reader's: a
// read that fails before a non-zero byte is a read error, although the byte
// was seen first.
TEST(ScanReaders, AFailingReadBeforeANonZeroByteDecides) {
  constexpr std::size_t block = 64;
  for (std::size_t readers = 2; readers <= most_readers; ++readers) {
    FailsLate source(zeros_then(30 * block, {1}), 10 * block + 5);
    std::vector<unsigned char> buffer(block * readers);
    EXPECT_EQ(scan_for_nonzero(source, buffer, nullptr, readers), ScanResult::read_error)
        << readers << " readers";
    EXPECT_TRUE(source.delivered) << "the non-zero byte was read first";
  }
}

}  // namespace
