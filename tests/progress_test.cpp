// The progress line's text, when it is drawn, how it fits the terminal, and
// what the scan tells it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "memory_source.h"
#include "progress.h"
#include "scan.h"
#include "test_names.h"

namespace {

constexpr std::int64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;
constexpr std::int64_t unknown = -1;

struct TextCase {
  const char* name;
  std::int64_t examined;
  std::int64_t length;
  double seconds;
  const char* text;
};

const TextCase text_cases[] = {
    {"nothing yet, length unknown", 0, unknown, 1, "0 B examined, 0 B/s"},
    {"bytes below a KiB", 1023, unknown, 1, "1023 B examined, 1023 B/s"},
    {"one KiB", KiB, unknown, 1, "1.0 KiB examined, 1.0 KiB/s"},
    {"just below a MiB rounds up", MiB - 1, unknown, 1, "1.0 MiB examined, 1.0 MiB/s"},
    {"a fraction of a GiB", GiB + GiB / 4, unknown, 2, "1.3 GiB examined, 640.0 MiB/s"},
    {"a length of zero: no percentage", 100, 0, 1, "100 B examined, 100 B/s"},
    {"a known length", 3 * GiB / 2, 4 * GiB, 3,
     "1.5 GiB of 4.0 GiB examined (37%), 512.0 MiB/s, 5 s left"},
    {"nothing examined has no time left", 0, GiB, 1, "0 B of 1.0 GiB examined (0%), 0 B/s"},
    {"no time elapsed has no rate", 100, 200, 0, "100 B of 200 B examined (50%)"},
    {"all of it", 10 * MiB, 10 * MiB, 2,
     "10.0 MiB of 10.0 MiB examined (100%), 5.0 MiB/s, 0 s left"},
    {"a fraction of a second left is a second", 1000, 1050, 10,
     "1000 B of 1.0 KiB examined (95%), 100 B/s, 1 s left"},
    {"a minute left", GiB, 61 * GiB, 1,
     "1.0 GiB of 61.0 GiB examined (1%), 1.0 GiB/s, 1 min 0 s left"},
    {"minutes and seconds left", 10 * MiB, 100 * MiB, 10,
     "10.0 MiB of 100.0 MiB examined (10%), 1.0 MiB/s, 1 min 30 s left"},
    {"hours left on a 2 TiB disk", GiB, 2 * TiB, 10,
     "1.0 GiB of 2.0 TiB examined (0%), 102.4 MiB/s, 5 h 41 min left"},
    {"one byte short of 2^63 - 1 is not 100%", max_offset - 1, max_offset, 1,
     "8.0 EiB of 8.0 EiB examined (99%), 8.0 EiB/s, 1 s left"},
    {"an estimate beyond reach is held", 1, max_offset, 1e6,
     "1 B of 8.0 EiB examined (0%), 0 B/s, 277777777 h 46 min left"},
};

class ProgressText : public testing::TestWithParam<TextCase> {};

// Sizes, rates and times in human units.
TEST_P(ProgressText, HumanUnits) {
  const TextCase& c = GetParam();
  EXPECT_EQ(progress_text(c.examined, c.length, Seconds(c.seconds)).view(), c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressText, testing::ValuesIn(text_cases),
                         [](const testing::TestParamInfo<TextCase>& c) {
                           return test_name(c.param.name);
                         });

struct FittedCase {
  const char* name;
  std::int64_t examined;
  std::int64_t length;
  std::size_t columns;
  const char* text;
};

// "5.3 MiB of 16.0 MiB examined (33%), 1.8 MiB/s, 7 s left" is 55 columns.
const FittedCase fitted_cases[] = {
    {"all of it fits", 5427 * KiB, 16 * MiB, 55,
     "5.3 MiB of 16.0 MiB examined (33%), 1.8 MiB/s, 7 s left"},
    {"the time left goes first", 5427 * KiB, 16 * MiB, 54,
     "5.3 MiB of 16.0 MiB examined (33%), 1.8 MiB/s"},
    {"at 40 columns the rate goes too", 5427 * KiB, 16 * MiB, 40,
     "5.3 MiB of 16.0 MiB examined (33%)"},
    {"then the length and the percentage", 5427 * KiB, 16 * MiB, 33, "5.3 MiB examined"},
    {"at 20 columns the bytes alone", 10 * MiB, 16 * MiB, 20, "10.0 MiB examined"},
    {"the bytes alone, just fitting", 10 * MiB, 16 * MiB, 17, "10.0 MiB examined"},
    {"not even the bytes fit: nothing", 10 * MiB, 16 * MiB, 16, ""},
    {"no length: the rate goes", 10 * MiB, unknown, 20, "10.0 MiB examined"},
    {"no length, all of it fits", 10 * MiB, unknown, 31, "10.0 MiB examined, 3.3 MiB/s"},
};

class FittedText : public testing::TestWithParam<FittedCase> {};

TEST_P(FittedText, LeavesOutWholeFields) {
  const FittedCase& c = GetParam();
  const std::string text(progress_text(c.examined, c.length, Seconds(3), c.columns).view());
  EXPECT_EQ(text, c.text);
  EXPECT_LE(text.size(), c.columns);
}

INSTANTIATE_TEST_SUITE_P(Table, FittedText, testing::ValuesIn(fitted_cases),
                         [](const testing::TestParamInfo<FittedCase>& c) {
                           return test_name(c.param.name);
                         });

// A clock that the test moves, counting how often it is read.
ProgressLine::Clock::time_point fake_now{};
int clock_reads = 0;
ProgressLine::Clock::time_point read_fake_clock() {
  ++clock_reads;
  return fake_now;
}

// A terminal whose width and place the test sets, recording every write tried
// on it, whether it was to wait for the terminal, and what an interruption
// would erase.
struct FakeTerminal final : platform::Terminal {
  std::size_t width = 80;
  bool escapes = false;
  bool foreground = true;
  platform::Written answer = platform::Written::all;  // to every write
  std::vector<std::string> tried;
  std::vector<bool> waited;  // must_reach, for each write tried
  std::size_t erased_on_interrupt = 0;

  std::size_t columns() override { return width; }
  bool takes_escapes() override { return escapes; }
  bool in_foreground() override { return foreground; }
  platform::Written write(std::string_view bytes, bool must_reach) override {
    tried.emplace_back(bytes);
    waited.push_back(must_reach);
    return answer;
  }
  void shown(std::size_t columns) override { erased_on_interrupt = columns; }

  // Everything tried after the first count writes.
  std::string since(std::size_t count) const {
    std::string all;
    for (std::size_t i = count; i < tried.size(); ++i) all += tried[i];
    return all;
  }
};

// Reading the clock once per block.
TEST(ProgressLineTiming, AfterASecondThenTwiceASecond) {
  using std::chrono::milliseconds;
  fake_now = ProgressLine::Clock::time_point{} + std::chrono::hours(1);
  const auto start = fake_now;
  clock_reads = 0;
  FakeTerminal terminal;
  StatusLine line(terminal);
  ProgressLine progress(line, read_fake_clock);
  clock_reads = 0;

  struct Step {
    int at_ms;
    bool drawn;
  };
  int blocks = 0;
  for (const Step step :
       {Step{0, false}, Step{500, false}, Step{999, false}, Step{1000, true}, Step{1200, false},
        Step{1499, false}, Step{1500, true}, Step{4000, true}, Step{4001, false}}) {
    fake_now = start + milliseconds(step.at_ms);
    const std::size_t before = terminal.tried.size();
    progress.examined(++blocks * MiB, 100 * MiB);
    EXPECT_EQ(terminal.tried.size() - before, step.drawn ? 1u : 0u) << "at " << step.at_ms << " ms";
  }
  EXPECT_EQ(clock_reads, blocks);
  ASSERT_EQ(terminal.tried.size(), 3u);
  EXPECT_EQ(terminal.tried[0], "\r4.0 MiB of 100.0 MiB examined (4%), 4.0 MiB/s, 24 s left");
}

struct WidthCase {
  const char* name;
  std::size_t width;  // the terminal's; the line keeps off its last column
  const char* drawn;  // the text of the drawing, nothing when none fits
};

// 5.3 MiB of 16.0 MiB examined in 3 s, as the program draws it.
const WidthCase width_cases[] = {
    {"wide", 80, "5.3 MiB of 16.0 MiB examined (33%), 1.8 MiB/s, 7 s left"},
    {"one short of all", 55, "5.3 MiB of 16.0 MiB examined (33%), 1.8 MiB/s"},
    {"forty", 41, "5.3 MiB of 16.0 MiB examined (33%)"},
    {"twenty", 21, "5.3 MiB examined"},
    {"just the bytes", 17, "5.3 MiB examined"},
    {"twelve", 12, ""},
};

class ProgressLineWidth : public testing::TestWithParam<WidthCase> {};

// Whole fields, never part of one, whatever the terminal's width.
TEST_P(ProgressLineWidth, DrawsWholeFields) {
  const WidthCase& c = GetParam();
  fake_now = ProgressLine::Clock::time_point{} + std::chrono::hours(1);
  const auto start = fake_now;
  FakeTerminal terminal;
  terminal.width = c.width;
  {
    StatusLine line(terminal);
    ProgressLine progress(line, read_fake_clock);
    fake_now = start + std::chrono::seconds(3);
    progress.examined(5427 * KiB, 16 * MiB);
  }
  ASSERT_FALSE(terminal.tried.empty());
  std::string drawn = terminal.tried[0];
  ASSERT_TRUE(drawn.starts_with("\r")) << testing::PrintToString(drawn);
  drawn.erase(0, 1);
  drawn.erase(drawn.find_last_not_of(" \r") + 1);
  EXPECT_EQ(drawn, c.drawn);
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressLineWidth, testing::ValuesIn(width_cases),
                         [](const testing::TestParamInfo<WidthCase>& c) {
                           return test_name(c.param.name);
                         });

// --- the line on the terminal ------------------------------------------------

struct Drawing {
  std::string text;
  std::size_t width = 80;  // the terminal's width as it is drawn; 0 when it does not tell
  bool foreground = true;
  bool fails = false;  // the terminal fails from this drawing on
  // Its output paused: it takes none of this drawing, or only part of it.
  platform::Written paused = platform::Written::all;
  std::string written{};                // what it writes, or tries to; nothing when empty
  std::size_t erased_on_interrupt = 0;  // what an interruption overwrites after it
};

struct StatusCase {
  const char* name;
  bool escapes = false;  // whether the terminal takes escape sequences
  std::vector<Drawing> drawings{};
  std::size_t width_at_end = 80;
  bool foreground_at_end = true;
  std::string erasure{};  // what the line writes as it goes
};

std::string text(std::size_t n, char c = 'a') {
  return std::string(n, c);
}

std::string erasure(std::size_t n) {
  return "\r" + std::string(n, ' ') + "\r";
}

// The row cleared from its first column, with every row below, the cursor
// left there: from the second column to the end of the screen, then the row.
// Never ESC [ J from the first column, which tmux takes, on the top row, for
// a clear of the whole screen and keeps a copy of.
const std::string clear_row = "\r\033[C\033[J\r\033[K";

const StatusCase status_cases[] = {
    {.name = "drawn from the first column",
     .drawings = {{.text = "abc", .written = "\rabc", .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    {.name = "cut one column short of the width",
     .drawings = {{.text = text(100), .written = "\r" + text(79), .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    {.name = "spaces over a longer line",
     .drawings = {{.text = "abcdef", .written = "\rabcdef", .erased_on_interrupt = 79},
                  {.text = "xy", .written = "\rxy    ", .erased_on_interrupt = 79},
                  {.text = "z", .written = "\rz     ", .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    // The text and the spaces stop short of the new width.
    {.name = "narrowed between drawings",
     .drawings =
         {{.text = text(60), .written = "\r" + text(60), .erased_on_interrupt = 79},
          {.text = text(30, 'b'),
           .width = 20,
           .written = "\r" + text(19, 'b'),
           .erased_on_interrupt = 19},
          {.text = "c", .width = 20, .written = "\rc" + text(18, ' '), .erased_on_interrupt = 19}},
     .width_at_end = 20,
     .erasure = erasure(19)},
    // The erasure fits the new width.
    {.name = "narrowed before the erasure",
     .drawings = {{.text = text(60), .written = "\r" + text(60), .erased_on_interrupt = 79}},
     .width_at_end = 20,
     .erasure = erasure(19)},
    {.name = "widened between drawings",
     .drawings =
         {{.text = text(30), .width = 10, .written = "\r" + text(9), .erased_on_interrupt = 9},
          {.text = text(30), .written = "\r" + text(30), .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    {.name = "no width told: 80 columns",
     .drawings =
         {{.text = text(100), .width = 0, .written = "\r" + text(79), .erased_on_interrupt = 79}},
     .width_at_end = 0,
     .erasure = erasure(79)},
    {.name = "never wider than 160 columns",
     .drawings = {{.text = text(300),
                   .width = 300,
                   .written = "\r" + text(160),
                   .erased_on_interrupt = 160}},
     .width_at_end = 300,
     .erasure = erasure(160)},
    {.name = "one column: nothing drawn",
     .drawings = {{.text = "abc", .width = 1}},
     .width_at_end = 1},
    {.name = "narrowed to one column",
     .drawings = {{.text = "abc", .written = "\rabc", .erased_on_interrupt = 79},
                  {.text = "def", .width = 1, .erased_on_interrupt = 79}},
     .width_at_end = 1},
    // Nothing drawn in the background, drawing again in the foreground.
    {.name = "background, then foreground",
     .drawings = {{.text = "abc", .written = "\rabc", .erased_on_interrupt = 79},
                  {.text = "defgh", .foreground = false, .erased_on_interrupt = 79},
                  {.text = "ij", .written = "\rij ", .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    {.name = "not erased from the background",
     .drawings = {{.text = "abc", .written = "\rabc", .erased_on_interrupt = 79}},
     .foreground_at_end = false},
    {.name = "nothing tried after a failed write",
     .drawings = {{.text = "abc", .written = "\rabc", .erased_on_interrupt = 79},
                  {.text = "def", .fails = true, .written = "\rdef"},
                  {.text = "ghi"}}},
    {.name = "nothing drawn, nothing erased"},
    // A paused terminal that takes none of a drawing leaves the row as it
    // was: the line is not broken, and spaces go only over what was drawn.
    {.name = "paused: a drawing left out, the next drawn",
     .drawings = {{.text = "abc", .written = "\rabc", .erased_on_interrupt = 79},
                  {.text = "defgh",
                   .paused = platform::Written::none,
                   .written = "\rdefgh",
                   .erased_on_interrupt = 79},
                  {.text = "ij", .written = "\rij ", .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    {.name = "paused at the first drawing: nothing to erase",
     .drawings = {{.text = "abc", .paused = platform::Written::none, .written = "\rabc"}}},
    // What a drawing cut short may have left is covered by the next one.
    {.name = "paused partway: the next drawing covers it",
     .drawings = {{.text = "abcdef",
                   .paused = platform::Written::part,
                   .written = "\rabcdef",
                   .erased_on_interrupt = 79},
                  {.text = "xy", .written = "\rxy    ", .erased_on_interrupt = 79}},
     .erasure = erasure(79)},
    // Where escape sequences are taken, the cursor rests on the line's first
    // column, and everything from there down is cleared: a line that the
    // terminal re-flowed onto several rows lies wholly below it.
    {.name = "escapes: drawn after a clear, the cursor left on the first column",
     .escapes = true,
     .drawings = {{.text = "abc", .written = clear_row + "abc\r", .erased_on_interrupt = 79}},
     .erasure = clear_row},
    {.name = "escapes: a shorter line needs no spaces",
     .escapes = true,
     .drawings = {{.text = "abcdef", .written = clear_row + "abcdef\r", .erased_on_interrupt = 79},
                  {.text = "xy", .written = clear_row + "xy\r", .erased_on_interrupt = 79}},
     .erasure = clear_row},
    {.name = "escapes: cut one column short of the width",
     .escapes = true,
     .drawings = {{.text = text(30),
                   .width = 20,
                   .written = clear_row + text(19) + "\r",
                   .erased_on_interrupt = 19}},
     .width_at_end = 20,
     .erasure = clear_row},
    {.name = "escapes: narrowed to one column after a drawing, still erased",
     .escapes = true,
     .drawings = {{.text = "abc", .written = clear_row + "abc\r", .erased_on_interrupt = 79},
                  {.text = "def", .width = 1, .erased_on_interrupt = 79}},
     .width_at_end = 1,
     .erasure = clear_row},
    {.name = "escapes: not erased from the background",
     .escapes = true,
     .drawings = {{.text = "abc", .written = clear_row + "abc\r", .erased_on_interrupt = 79}},
     .foreground_at_end = false},
    {.name = "escapes: nothing drawn, nothing erased", .escapes = true},
    {.name = "escapes: paused, a drawing left out, the line still erased",
     .escapes = true,
     .drawings = {{.text = "abc", .written = clear_row + "abc\r", .erased_on_interrupt = 79},
                  {.text = "def",
                   .paused = platform::Written::none,
                   .written = clear_row + "def\r",
                   .erased_on_interrupt = 79}},
     .erasure = clear_row},
    {.name = "escapes: paused partway at the first drawing, still erased",
     .escapes = true,
     .drawings = {{.text = "abc",
                   .paused = platform::Written::part,
                   .written = clear_row + "abc\r",
                   .erased_on_interrupt = 79}},
     .erasure = clear_row},
};

class StatusLineDrawing : public testing::TestWithParam<StatusCase> {};

// The line fits the terminal as it is at each drawing.
TEST_P(StatusLineDrawing, Fits) {
  const StatusCase& c = GetParam();
  FakeTerminal terminal;
  terminal.escapes = c.escapes;
  std::size_t before = 0;
  bool failing = false;
  {
    StatusLine line(terminal);
    for (std::size_t i = 0; i < c.drawings.size(); ++i) {
      const Drawing& d = c.drawings[i];
      terminal.width = d.width;
      terminal.foreground = d.foreground;
      failing = failing || d.fails;
      terminal.answer = failing ? platform::Written::failed : d.paused;
      before = terminal.tried.size();
      line.show(d.text);
      EXPECT_EQ(terminal.since(before), d.written) << "drawing " << i;
      // A drawing is left out, not waited for, when the terminal cannot take it now.
      for (std::size_t w = before; w < terminal.waited.size(); ++w)
        EXPECT_FALSE(terminal.waited[w]) << "drawing " << i;
      EXPECT_EQ(terminal.erased_on_interrupt, d.erased_on_interrupt) << "drawing " << i;
    }
    terminal.width = c.width_at_end;
    terminal.foreground = c.foreground_at_end;
    terminal.answer = platform::Written::all;
    before = terminal.tried.size();
  }
  EXPECT_EQ(terminal.since(before), c.erasure);
  // The erasure must reach the terminal, paused or not, before the outcome
  // line is printed.
  for (std::size_t w = before; w < terminal.waited.size(); ++w) EXPECT_TRUE(terminal.waited[w]);
  EXPECT_EQ(terminal.erased_on_interrupt, 0u) << "an interruption after the end";
}

INSTANTIATE_TEST_SUITE_P(Table, StatusLineDrawing, testing::ValuesIn(status_cases),
                         [](const testing::TestParamInfo<StatusCase>& c) {
                           return test_name(c.param.name);
                         });

// Records every report of a scan.
struct Reports final : ScanProgress {
  std::vector<std::int64_t> bytes;
  std::vector<std::int64_t> lengths;
  void examined(std::int64_t b, std::int64_t length) override {
    bytes.push_back(b);
    lengths.push_back(length);
  }
};

struct ReportCase {
  const char* name;
  MemorySource source;
  ScanResult result;
  std::int64_t last;    // the bytes examined at the last report
  std::int64_t length;  // the length reported each time
};

MemorySource source_of(std::int64_t zeros, std::int64_t reported = -2, std::int64_t hole = 0) {
  MemorySource s;
  s.bytes = Bytes(static_cast<std::size_t>(zeros), 0);
  s.reported = reported;
  s.hole = hole;
  s.knows_holes = hole > 0;
  return s;
}

std::vector<ReportCase> report_cases() {
  using enum ScanResult;
  MemorySource short_reads = source_of(100);
  short_reads.most_per_read = 7;
  MemorySource nonzero = source_of(40);
  nonzero.bytes.push_back(1);
  return {
      {"a known length", source_of(100), not_found, 100, 100},
      {"short reads", short_reads, not_found, 100, 100},
      {"no length", source_of(100, -1), not_found, 100, unknown},
      {"a length of zero over data", source_of(100, 0), not_found, 100, unknown},
      {"a hole counts as examined", source_of(64, -2, TiB), not_found, TiB + 64, TiB + 64},
      {"all hole up to 2^63 - 1", source_of(0, -2, max_offset), not_found, max_offset, max_offset},
      {"none for the block with the byte", nonzero, found, 32, 41},
  };
}

// Counts the reads that deliver bytes, passing everything on.
struct CountedReads final : ByteSource {
  ByteSource& inner;
  int with_bytes = 0;
  explicit CountedReads(ByteSource& source) : inner(source) {}
  std::int64_t length() override { return inner.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override {
    const std::ptrdiff_t got = inner.read(into);
    if (got > 0) ++with_bytes;
    return got;
  }
  DataExtent next_data(std::int64_t offset) override { return inner.next_data(offset); }
  bool seek(std::int64_t offset) override { return inner.seek(offset); }
};

using row_printing::PrintTo;

class ScanReports : public testing::TestWithParam<ReportCase> {};

// With the bytes examined and the length.
TEST_P(ScanReports, OncePerBlock) {
  ReportCase c = GetParam();
  CountedReads source(c.source);
  Reports reports;
  unsigned char buffer[16];
  EXPECT_EQ(scan_for_nonzero(source, buffer, &reports), c.result);
  // Every block of zeros is reported once; the one that holds the byte ends the scan.
  EXPECT_EQ(reports.bytes.size(),
            static_cast<std::size_t>(source.with_bytes - (c.result == ScanResult::found ? 1 : 0)));
  ASSERT_FALSE(reports.bytes.empty());
  EXPECT_EQ(reports.bytes.back(), c.last);
  for (std::size_t i = 0; i < reports.bytes.size(); ++i) {
    EXPECT_EQ(reports.lengths[i], c.length) << "report " << i;
    if (i > 0) {
      EXPECT_GT(reports.bytes[i], reports.bytes[i - 1]) << "report " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ScanReports, testing::ValuesIn(report_cases()),
                         [](const testing::TestParamInfo<ReportCase>& c) {
                           return test_name(c.param.name);
                         });

}  // namespace
