#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "content_check.h"
#include "memory_source.h"
#include "test_names.h"

namespace {

Bytes zeros_then(std::size_t zeros, std::vector<unsigned char> tail = {}) {
  Bytes bytes(zeros, 0);
  bytes.insert(bytes.end(), tail.begin(), tail.end());
  return bytes;
}

struct ScanCase {
  const char* what;
  MemorySource source;
  ScanResult expected;
};

MemorySource over(Bytes bytes) {
  MemorySource s;
  s.bytes = std::move(bytes);
  return s;
}

std::vector<ScanCase> scan_cases() {
  std::vector<ScanCase> cases;
  auto add = [&](const char* what, MemorySource s, ScanResult r) { cases.push_back({what, s, r}); };
  using enum ScanResult;

  add("one zero byte", over({0x00}), not_found);
  add("one non-zero byte", over({0x01}), found);
  add("1000 zeros then 0x41", over(zeros_then(1000, {0x41})), found);
  add("only the last byte non-zero", over(zeros_then(4095, {0x80})), found);
  add("4096 zeros", over(zeros_then(4096)), not_found);

  MemorySource early = over(zeros_then(10));
  early.ends_after = 9;
  add("10 zeros through a stream that ends after 9", early, found);
  // A writer cut the file and grew it again with zeros while it was read.
  MemorySource regrown = over(zeros_then(20));
  regrown.ends_after = 12;
  regrown.ends_times = 1;
  add("a source cut and grown again is read on", regrown, not_found);
  MemorySource regrown_nonzero = over(zeros_then(15, {0x02, 0}));
  regrown_nonzero.ends_after = 12;
  regrown_nonzero.ends_times = 1;
  add("a source cut and grown again is read on to a non-zero byte", regrown_nonzero, found);

  MemorySource short_reads = over(zeros_then(100));
  short_reads.most_per_read = 3;
  add("zeros in short reads", short_reads, not_found);
  MemorySource short_reads_tail = over(zeros_then(100, {7}));
  short_reads_tail.most_per_read = 3;
  add("a non-zero byte after short reads", short_reads_tail, found);

  MemorySource failing = over(zeros_then(10));
  failing.fails_after = 4;
  add("a read that fails is no answer", failing, read_error);
  MemorySource failing_at_once = over(zeros_then(10));
  failing_at_once.fails_after = 0;
  add("a read that fails at once is no answer", failing_at_once, read_error);

  // Sources without a length: pipes and character devices.
  auto unmeasured = [](Bytes bytes) {
    MemorySource s = over(std::move(bytes));
    s.reported = -1;
    s.most_per_read = 5;
    return s;
  };
  add("no length and no byte", unmeasured({}), empty);
  add("no length and zeros", unmeasured(zeros_then(100)), not_found);
  add("no length and a non-zero byte", unmeasured(zeros_then(100, {0x01})), found);
  MemorySource unmeasured_failing = unmeasured(zeros_then(100));
  unmeasured_failing.fails_after = 50;
  add("no length and a failing read", unmeasured_failing, read_error);

  // A length of 0 is confirmed by a read: files in /proc report it over text.
  auto zero_length = [](Bytes bytes) {
    MemorySource s = over(std::move(bytes));
    s.reported = 0;
    return s;
  };
  add("length 0 and no byte", zero_length({}), empty);
  add("length 0 over text", zero_length({'L', 'i', 'n', 'u', 'x'}), found);
  add("length 0 over zeros", zero_length(zeros_then(100)), not_found);
  MemorySource zero_length_failing = zero_length(zeros_then(100));
  zero_length_failing.fails_after = 0;
  add("length 0 and a failing read", zero_length_failing, read_error);

  // Sparse sources up to the largest length, 2^63 - 1, their bytes at the end.
  auto sparse_to_the_end = [](Bytes bytes) {
    MemorySource s = over(std::move(bytes));
    s.hole = max_offset - static_cast<std::int64_t>(s.bytes.size());
    s.knows_holes = true;
    return s;
  };
  add("2^63 - 1 bytes, the last one non-zero", sparse_to_the_end(zeros_then(4095, {1})), found);
  add("2^63 - 1 bytes, zeros stored at the end", sparse_to_the_end(zeros_then(4096)), not_found);
  add("2^63 - 1 bytes, all hole", sparse_to_the_end({}), not_found);
  // btrfs answers the end of a stretch ending at 2^63 with -2^63, which does
  // not tell where it ends.
  MemorySource end_unknown = sparse_to_the_end(zeros_then(5000, {1}));
  end_unknown.end_unknown = true;
  add("2^63 - 1 bytes, where the stretch ends unknown", end_unknown, found);
  MemorySource end_unknown_zeros = sparse_to_the_end(zeros_then(5001));
  end_unknown_zeros.end_unknown = true;
  add("2^63 - 1 bytes of zeros, where the stretch ends unknown", end_unknown_zeros, not_found);
  // tmpfs answers that no data follows over data in the last page below 2^63.
  MemorySource no_data_claimed = sparse_to_the_end(zeros_then(4095, {1}));
  no_data_claimed.no_data_from = 0;
  add("2^63 - 1 bytes, no data claimed over a non-zero last byte", no_data_claimed, found);
  MemorySource no_data_claimed_midway = sparse_to_the_end(zeros_then(4095, {1}));
  no_data_claimed_midway.no_data_from = no_data_claimed_midway.hole + 7;
  no_data_claimed_midway.end_unknown = true;
  add("2^63 - 1 bytes, no data claimed midway before a non-zero last byte", no_data_claimed_midway,
      found);
  MemorySource promises_more = over(zeros_then(100));
  promises_more.reported = max_offset;
  promises_more.knows_holes = true;
  add("2^63 - 1 bytes claimed and 100 delivered", promises_more, found);

  MemorySource shrunk = over(zeros_then(5, {0x01}));
  shrunk.reported = 5;
  add("bytes past the measured length are not examined", shrunk, not_found);

  MemorySource grows = over(zeros_then(20));
  grows.appended = {0, 0, 0x33};
  grows.grow_at = 2;
  add("a source that grows is read to its new end", grows, found);

  MemorySource grows_zeros = over(zeros_then(20));
  grows_zeros.appended = zeros_then(30);
  grows_zeros.grow_at = 2;
  add("a source that grows with zeros", grows_zeros, not_found);

  // The data ends at 12 bytes and the length, measured again then, says 12.
  MemorySource cut = over(zeros_then(20));
  cut.ends_after = 12;
  cut.cut_to = 12;
  cut.cut_at = 2;
  add("a source cut short ends the scan at its new length", cut, not_found);
  MemorySource cut_after_nonzero = over(zeros_then(10, {0x09, 0, 0}));
  cut_after_nonzero.cut_to = 12;
  cut_after_nonzero.cut_at = 2;
  add("a non-zero byte before the cut is still found", cut_after_nonzero, found);
  return cases;
}

void PrintTo(const ScanCase& c, std::ostream* os) {
  *os << c.what;
}

class Scan : public testing::TestWithParam<ScanCase> {};

TEST_P(Scan, AnswersFoundExactlyWhenAByteIsNotZero) {
  ScanCase c = GetParam();
  EXPECT_EQ(scan_for_nonzero(c.source), c.expected) << c.what;
}

TEST_P(Scan, GivesTheSameAnswerThroughASmallBuffer) {
  ScanCase c = GetParam();
  unsigned char buffer[8];
  EXPECT_EQ(scan_for_nonzero(c.source, buffer), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, Scan, testing::ValuesIn(scan_cases()),
                         [](const testing::TestParamInfo<ScanCase>& c) {
                           return test_name(c.param.what);
                         });

// Puts the one non-zero byte at each side of the buffer's boundaries, and on
// each side of the 16 bytes that the zero check looks at first.
TEST(ScanBoundaries, FindsAByteOnEitherSideOfEachBlockBoundary) {
  constexpr std::size_t block = 48;
  for (std::size_t at : {std::size_t{0}, std::size_t{15}, std::size_t{16}, block - 1, block,
                         block + 15, block + 16, 2 * block - 1, 2 * block, 3 * block - 1}) {
    MemorySource s = over(zeros_then(3 * block));
    s.bytes[at] = 0x01;
    unsigned char buffer[block];
    EXPECT_EQ(scan_for_nonzero(s, buffer), ScanResult::found) << "non-zero byte at " << at;
  }
  MemorySource clean = over(zeros_then(3 * block));
  unsigned char buffer[block];
  EXPECT_EQ(scan_for_nonzero(clean, buffer), ScanResult::not_found);
}

}  // namespace
