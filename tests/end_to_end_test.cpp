// The real program as whoever runs it meets it, one row per case: the exact
// console bytes, the result file, the exit status, and nothing else in its
// directory changed (the harness that runs a row is in the e2e_*.h headers).
//
// Usage: end_to_end_tests [--windows] [--fail-read=LIBRARY] COMMAND... (see runner.h)
//   LIBRARY: the fail_read module. Rows marked smoke also run as their own
//   suite, Smoke, for an installed program: --gtest_filter='Smoke/*'.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dialogue.h"
#include "e2e_fixtures.h"
#include "e2e_row.h"
#include "e2e_run.h"
#include "runner.h"

namespace {

namespace fs = std::filesystem;

const RunnerOptions& options = runner_options();

constexpr std::int64_t GiB = std::int64_t{1} << 30;

std::string zeros(std::size_t n) {
  return std::string(n, '\0');
}

// What the file holds decides the verdict, whatever its size.
void content_rows(std::vector<Row>& t) {
  t.push_back({.name = "ZeroLengthInputIsVacant",
               .typed = "empty.bin\n",
               .fixtures = {file("empty.bin", "")},
               .ending = vacant,
               .smoke = true});
  t.push_back({.name = "NonZeroByteFound",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", zeros(11) + "A" + std::string(2988, 'x'))},
               .ending = found,
               .smoke = true});
  t.push_back({.name = "ZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(4096))},
               .ending = zeros_only,
               .smoke = true});
  t.push_back({.name = "OnlyTheLastByteNonZero",
               .typed = "last.bin\n",
               .fixtures = {file("last.bin", zeros(4095) + "\x01")},
               .ending = found});
  t.push_back({.name = "OneZeroByte",
               .typed = "z\n",
               .fixtures = {file("z", zeros(1))},
               .ending = zeros_only});
  // Bytes that a file read in text mode would turn into a line end or an end of file.
  t.push_back({.name = "CarriageReturnAmongZeros",
               .typed = "cr.bin\n",
               .fixtures = {file("cr.bin", zeros(100) + "\r" + zeros(100))},
               .ending = found});
  t.push_back({.name = "CtrlZAmongZeros",
               .typed = "sub.bin\n",
               .fixtures = {file("sub.bin", zeros(100) + "\x1a" + zeros(100))},
               .ending = found});
  t.push_back({.name = "FourGiBOfZerosIsNotVacant",
               .typed = "big\n",
               .fixtures = {sparse("big", 4 * GiB)},
               .ending = zeros_only});
  t.push_back({.name = "TwoGiBWithLastByteNonZero",
               .typed = "big\n",
               .fixtures = {sparse("big", 2 * GiB, {{2 * GiB - 1, 'x'}})},
               .ending = found});
  t.push_back({.name = "FiveGiBWithLastByteNonZero",
               .typed = "big\n",
               .fixtures = {sparse("big", 5 * GiB, {{5 * GiB - 1, 'x'}})},
               .ending = found});
  // A file long enough for several readers, where only one processor may run
  // the program: one reader reads it all.
  t.push_back({.name = "OneProcessorZerosOnly",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(24 << 20))},
               .ending = zeros_only,
               .one_processor = true});
  t.push_back({.name = "OneProcessorLastByteNonZero",
               .typed = "last.bin\n",
               .fixtures = {file("last.bin", zeros((24 << 20) - 1) + "\x01")},
               .ending = found,
               .one_processor = true});
}

// Cold files, which the program reads around the page cache where the system
// lets it: the same answers, and the cache left as it was, but for what it
// reads through the cache: a tail shorter than the alignment, or all of a file
// whose direct reads are refused.
void cold_rows(std::vector<Row>& t) {
  constexpr std::size_t MiB = std::size_t{1} << 20;
  constexpr std::int64_t all_of_8_MiB = (8 << 20) / 4096;
  t.push_back({.name = "ColdZerosLeaveTheCacheAsItWas",
               .typed = "zeros.bin\n",
               .fixtures = {made_cold(file("zeros.bin", zeros(24 * MiB)))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .cached_after = 0});
  t.push_back({.name = "ColdLastByteNonZero",
               .typed = "last.bin\n",
               .fixtures = {made_cold(file("last.bin", zeros(24 * MiB - 1) + "\x01"))},
               .ending = found,
               .only = Platform::linux_only,
               .cached_after = 0});
  t.push_back({.name = "ColdFileOfUnalignedLengthReadsItsTailThroughTheCache",
               .typed = "zeros.bin\n",
               .fixtures = {made_cold(file("zeros.bin", zeros(3 * MiB + 1000)))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .cached_after = 1});
  t.push_back({.name = "ColdByteInAnUnalignedTail",
               .typed = "tail.bin\n",
               .fixtures = {made_cold(file("tail.bin", zeros(3 * MiB + 999) + "\x01"))},
               .ending = found,
               .only = Platform::linux_only,
               .cached_after = 1});
  t.push_back({.name = "ColdOnOneProcessor",
               .typed = "last.bin\n",
               .fixtures = {made_cold(file("last.bin", zeros(24 * MiB - 1) + "\x01"))},
               .ending = found,
               .only = Platform::linux_only,
               .one_processor = true,
               .cached_after = 0});
  // Smaller blocks, still aligned, from the memory the run has.
  t.push_back({.name = "ColdShortOfMemory",
               .typed = "big\n",
               .fixtures = {made_cold(file("big", zeros(20 * MiB) + "\x01"))},
               .ending = found,
               .only = Platform::linux_only,
               .data_limit = rlim_t{4} << 20,
               .cached_after = 1});
  t.push_back({.name = "ColdFileThatCannotBeOpenedForDirectReads",
               .typed = "zeros.no-direct-open\n",
               .fixtures = {made_cold(file("zeros.no-direct-open", zeros(8 * MiB)))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .failing_reads = true,
               .cached_after = all_of_8_MiB});
  t.push_back({.name = "ColdFileThatRefusesDirectReads",
               .typed = "zeros.no-direct-read\n",
               .fixtures = {made_cold(file("zeros.no-direct-read", zeros(8 * MiB)))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .failing_reads = true,
               .cached_after = all_of_8_MiB});
  t.push_back({.name = "ColdFileThatRefusesDirectReadsWithItsLastByteNonZero",
               .typed = "last.no-direct-read\n",
               .fixtures = {made_cold(file("last.no-direct-read", zeros(8 * MiB - 1) + "\x01"))},
               .ending = found,
               .only = Platform::linux_only,
               .failing_reads = true,
               .cached_after = all_of_8_MiB});
  t.push_back({.name = "ColdFileOnAKernelWithoutCachestat",
               .typed = "zeros.bin\n",
               .fixtures = {made_cold(file("zeros.bin", zeros(8 * MiB)))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .no_cachestat = true,
               .cached_after = all_of_8_MiB});
  // It grows at the first direct read, once its length has been measured:
  // read directly, the file is read to its new end.
  t.push_back({.name = "ColdFileThatGrowsWhileReadDirectly",
               .typed = "zeros.grows\n",
               .fixtures = {made_cold(file("zeros.grows", zeros(4096)))},
               .ending = found,
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"zeros.grows", zeros(8191) + "\x01"}}});
  t.push_back({.name = "ColdFileWhoseReadsFail",
               .typed = "zeros.unreadable\n",
               .fixtures = {made_cold(file("zeros.unreadable", zeros(8 * MiB)))},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
}

// Inputs that are no plain file, or none at all.
void unusual_input_rows(std::vector<Row>& t) {
  t.push_back({.name = "MissingFile",
               .typed = "missing.bin\n",
               .ending = open_error,
               .err = "content_check: missing.bin: No such file or directory",
               .smoke = true});
  t.push_back({.name = "EmptyLine",
               .typed = "\n",
               .ending = open_error,
               .err = "content_check: '': No such file or directory"});
  t.push_back({.name = "NoInputAtAll",
               .typed = "",
               .ending = open_error,
               .err = "content_check: '': No such file or directory"});
  // A name shows on standard error as no control: C1 bytes raw, DEL, a
  // backslash that would forge an escape. A directory so named is a failure
  // that a loop over a shared folder meets.
  t.push_back({.name = "ControlsInTheNameAreShownEscaped",
               .typed = "x\x9b"
                        "2J\x9d"
                        "0;PWNED\x9c\x7f\\x9b\n",
               .fixtures = {directory("x\x9b"
                                      "2J\x9d"
                                      "0;PWNED\x9c\x7f\\x9b")},
               .ending = open_error,
               .err = R"(content_check: x\x9b2J\x9d0;PWNED\x9c\x7f\\x9b: Is a directory)",
               .only = Platform::linux_only});
  t.push_back({.name = "ControlsInAMissingNameAreShownEscaped",
               .typed = "x\x9b"
                        "6n\x7f\n",
               .ending = open_error,
               .err = R"(content_check: x\x9b6n\x7f: No such file or directory)"});
  t.push_back({.name = "TrailingSpaceInTheNameIsShownQuoted",
               .typed = "data.bin \n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = open_error,
               .err = "content_check: 'data.bin ': No such file or directory",
               .only = Platform::linux_only});
  t.push_back({.name = "PrintableUtf8InTheNameIsShownAsItIs",
               .typed = "caf\xc3\xa9 \xe4\xb8\x80\n",
               .ending = open_error,
               .err = "content_check: caf\xc3\xa9 \xe4\xb8\x80: No such file or directory",
               .only = Platform::linux_only});
  // Where a byte is a character, as in Latin-1, the bytes 0x80 to 0x9F are
  // the C1 controls, even inside what would be UTF-8 (U+00DB is C3 9B).
  t.push_back({.name = "C1BytesInAnEightBitLocaleAreShownEscaped",
               .typed = "\xc3\x9b"
                        "2J\xe9\n",
               .ending = open_error,
               .err = "content_check: \xc3\\x9b2J\xe9: No such file or directory",
               .only = Platform::linux_only,
               .locale = "en_US.ISO-8859-1"});
  // Windows takes the name in its ANSI code page, where 0xE9 is a letter.
  t.push_back({.name = "UpperHalfLetterInTheNameIsShownAsItIs",
               .typed = "caf\xe9\n",
               .ending = open_error,
               .err = "content_check: caf\xe9: No such file or directory",
               .only = Platform::windows_only});
  // Arguments are ignored, as they always were, but said to be.
  t.push_back({.name = "ArgumentsAreIgnoredWithAWord",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = found,
               .err = "content_check: takes no arguments, ignored; type the file's name at the "
                      "prompt (see man content_check)",
               .only = Platform::linux_only,
               .arguments = {"--help", "data.bin"}});
  t.push_back({.name = "ArgumentsAreIgnoredWithAWordOnWindows",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(3))},
               .ending = zeros_only,
               .err = "content_check: takes no arguments, ignored; type the file's name at the "
                      "prompt (see README.txt beside content_check.exe)",
               .only = Platform::windows_only,
               .arguments = {"/?"}});
  t.push_back({.name = "DirectoryIsNoInput",
               .typed = "adir\n",
               .fixtures = {directory("adir")},
               .ending = open_error,
               .err = "content_check: adir: Is a directory"});
  t.push_back({.name = "SymbolicLinkIsFollowed",
               .typed = "link\n",
               .fixtures = {file("data.bin", "\x01"), symlink_to("link", "data.bin")},
               .ending = found});
  // Inputs without a length are read to the end of their data.
  t.push_back({.name = "FifoOfZeros",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(300000))},
               .ending = zeros_only});
  t.push_back({.name = "FifoWithANonZeroByte",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", zeros(200000) + "z")},
               .ending = found});
  t.push_back({.name = "EmptyFifoIsVacant",
               .typed = "pipe\n",
               .fixtures = {fifo("pipe", "")},
               .ending = vacant});
  t.push_back({.name = "RandomDevice", .typed = "/dev/urandom\n", .ending = found});
  t.push_back({.name = "NullDeviceIsVacant", .typed = "/dev/null\n", .ending = vacant});
  // A length of 0 is confirmed by a read: files in /proc report it over text.
  t.push_back({.name = "ProcFileOfLengthZeroHoldsText",
               .typed = "/proc/version\n",
               .ending = found,
               .only = Platform::linux_only});
  // sysfs reports 4096 bytes for every attribute, whatever it delivers: its
  // files, like those of the kernel's other file systems, are read to the end
  // of their data.
  t.push_back({.name = "SysfsAttributeThatDeliversNothingIsVacant",
               .ending = vacant,
               .only = Platform::linux_only,
               .sysfs = Sysfs::nothing});
  t.push_back({.name = "SysfsAttributeWithText",
               .ending = found,
               .only = Platform::linux_only,
               .sysfs = Sysfs::text});
}

// How the typed line becomes the name.
void name_rows(std::vector<Row>& t) {
  t.push_back({.name = "LeadingSpacesStayInTheName",
               .typed = "  spaced\n",
               .fixtures = {file("  spaced", "\x05"), file("spaced", zeros(3))},
               .ending = found});
  t.push_back({.name = "TabEndsTheName",
               .typed = "tabbed\tignored\n",
               .fixtures = {file("tabbed", "\x07")},
               .ending = found});
  t.push_back({.name = "CarriageReturnEndsTheName",
               .typed = "crlf.bin\r\n",
               .fixtures = {file("crlf.bin", zeros(5))},
               .ending = zeros_only});
  // Windows takes the typed bytes in its ANSI code page, not as UTF-8.
  t.push_back({.name = "HighBytesInTheName",
               .typed = "caf\xc3\xa9\n",
               .fixtures = {file("caf\xc3\xa9", "\x01")},
               .ending = found,
               .only = Platform::linux_only});
  t.push_back({.name = "UpperCaseNameIsAnotherFileOnLinux",
               .typed = "TEST.FZZ\n",
               .fixtures = {file("TEST.FZZ", "\x01"), file("test.fzz", "\x02")},
               .ending = found,
               .only = Platform::linux_only});
}

// How much of standard input is taken, from a pipe and from a file shared
// with whoever reads on: exactly one line, whose name is never more than its
// first 127 bytes: a longer one is no name to open.
void line_rows(std::vector<Row>& t) {
  const std::string long_name(127, 'n');
  const std::string cut_name =
      "content_check: " + long_name + ": name longer than 127 bytes, not opened";
  for (const auto& [input, from] :
       {std::pair{Input::pipe, "Pipe"}, std::pair{Input::file, "File"}}) {
    t.push_back({.name = std::string("OnlyTheFirstLineIsReadFrom") + from,
                 .typed = "first\nsecond\n",
                 .fixtures = {file("first", zeros(2)), file("second", "\x01")},
                 .ending = zeros_only,
                 .input = input});
    // The file of the name's first 127 bytes is not the one named: it is
    // neither examined nor answered for.
    t.push_back({.name = std::string("LongLineIsNeverOpenedFrom") + from,
                 .typed = long_name + std::string(73, 'm') + "\nnext\n",
                 .fixtures = {file(long_name, zeros(3))},
                 .ending = open_error,
                 .err = cut_name,
                 .input = input});
    t.push_back({.name = std::string("LineWithoutNewlineFrom") + from,
                 .typed = "nonl.bin",
                 .fixtures = {file("nonl.bin", zeros(5))},
                 .ending = zeros_only,
                 .input = input});
  }
  // One byte past the longest name is enough for a cut; a byte that ends
  // the name there, a newline or a tab, cuts nothing.
  t.push_back({.name = "NameOneByteTooLongIsNeverOpened",
               .typed = long_name + "m\n",
               .fixtures = {file(long_name, "\x01")},
               .ending = open_error,
               .err = cut_name});
  t.push_back({.name = "NameOfTheLongestLengthIsNotCut",
               .typed = long_name + "\tm\n",
               .ending = open_error,
               .err = "content_check: " + long_name + ": No such file or directory"});
  t.push_back({.name = "NameOfTheLongestLengthIsOpened",
               .typed = long_name + "\n",
               .fixtures = {file(long_name, "\x01")},
               .ending = found});
  // Reading fails for another reason than "not yet": the name is empty.
  t.push_back({.name = "StandardInputADirectoryGivesAnEmptyName",
               .ending = open_error,
               .err = "content_check: '': No such file or directory",
               .only = Platform::linux_only,
               .input = Input::directory});
}

// Where the verdict goes: never into the input itself, whatever name leads to it.
void result_name_rows(std::vector<Row>& t) {
  t.push_back({.name = "ExistingResultFileReplacedByOneByte",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("test.fzz", std::string(5000, 'r'))},
               .ending = found});
  t.push_back({.name = "ExistingEmptyResultFileGetsOneByte",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(9)), file("test.fzz", "")},
               .ending = zeros_only});
  t.push_back({.name = "EarlierResultExaminedIntoTest2",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", "\x01")},
               .ending = found,
               .result = "test2.fzz",
               .smoke = true});
  t.push_back({.name = "EarlierZeroResultExaminedIntoTest2",
               .typed = "test.fzz\n",
               .fixtures = {file("test.fzz", zeros(1))},
               .ending = zeros_only,
               .result = "test2.fzz"});
  t.push_back({.name = "NameEndingInTestFzzUsesTest2",
               .typed = "mytest.fzz\n",
               .fixtures = {file("mytest.fzz", "")},
               .ending = vacant,
               .result = "test2.fzz"});
  t.push_back({.name = "Test2AsInputResultsInTestFzz",
               .typed = "test2.fzz\n",
               .fixtures = {file("test2.fzz", "\x01")},
               .ending = found,
               .result = "test.fzz"});
  t.push_back({.name = "SymbolicLinkToResultNameSendsVerdictToTest2",
               .typed = "link\n",
               .fixtures = {file("test.fzz", "\x01\x02"), symlink_to("link", "test.fzz")},
               .ending = found,
               .result = "test2.fzz"});
  t.push_back({.name = "HardLinkToResultNameSendsVerdictToTest2",
               .typed = "link\n",
               .fixtures = {file("test.fzz", zeros(7)), hardlink_to("link", "test.fzz")},
               .ending = zeros_only,
               .result = "test2.fzz"});
  t.push_back({.name = "Test2LinkedToTheInputSendsVerdictToTestFzz",
               .typed = "mytest.fzz\n",
               .fixtures = {file("mytest.fzz", "\x05"), hardlink_to("test2.fzz", "mytest.fzz")},
               .ending = found,
               .result = "test.fzz"});
  // The input is never opened for writing, under any name: one that cannot
  // be (mode 0444 for any user but root, the read-only attribute under Wine)
  // is examined all the same, and a tracer sees no open of it for writing.
  t.push_back(
      {.name = "ReadOnlyInputBehindAHardLinkedTestFzz",
       .typed = "data.bin\n",
       .fixtures = {read_only(file("data.bin", "\x01")), hardlink_to("test.fzz", "data.bin")},
       .ending = found,
       .result = "test2.fzz",
       .traced = true});
  t.push_back(
      {.name = "ReadOnlyInputBehindASymbolicLinkTestFzz",
       .typed = "data.bin\n",
       .fixtures = {read_only(file("data.bin", zeros(3))), symlink_to("test.fzz", "data.bin")},
       .ending = zeros_only,
       .result = "test2.fzz",
       .traced = true});
  t.push_back({.name = "WritableInputBehindTestFzzIsNotOpenedForWriting",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), hardlink_to("test.fzz", "data.bin")},
               .ending = found,
               .result = "test2.fzz",
               .traced = true});
  t.push_back(
      {.name = "BothResultNamesAreTheInput",
       .typed = "test.fzz\n",
       .fixtures = {file("test.fzz", "\x05"), symlink_to("test2.fzz", "test.fzz")},
       .ending = result_error,
       .err =
           "content_check: test.fzz: both result names lead to the input, which is never written"});
  t.push_back({.name = "ResultNameIsADirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), directory("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: Is a directory",
               .smoke = true});
  t.push_back({.name = "DirectoryNotWritable",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = result_error,
               .err = "content_check: test.fzz: Permission denied",
               .read_only_dir = true});
  // Names that Windows takes for another: the file examined is never the one written.
  t.push_back({.name = "UpperCaseNameOfAnEarlierResult",
               .typed = "TEST.FZZ\n",
               .fixtures = {file("test.fzz", "\x01")},
               .ending = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "TrailingSpaceAfterAnEarlierResult",
               .typed = "test.fzz \n",
               .fixtures = {file("test.fzz", "\x01")},
               .ending = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "ReadOnlyUpperCaseNameOfAnEarlierResult",
               .typed = "TEST.FZZ\n",
               .fixtures = {read_only(file("TEST.FZZ", "\x01"))},
               .ending = found,
               .result = "test2.fzz",
               .only = Platform::windows_only});
  t.push_back({.name = "TrailingDotAfterAnEarlierResult",
               .typed = "test.fzz.\n",
               .fixtures = {file("test.fzz", zeros(2))},
               .ending = zeros_only,
               .result = "test2.fzz",
               .only = Platform::windows_only});
}

// One input for each ending, whatever else the rows below vary: how standard
// output behaves, whether the run is traced, where the verdict goes.
struct EndingInput {
  std::string name;  // the ending, as the rows' names spell it
  Ending ending;
  std::string typed;
  std::string err{};               // the failure ending's line on standard error
  std::optional<Fixture> input{};  // none: there is no such file
  std::vector<Fixture> beside{};   // what else the ending needs in the directory
  Platform only = Platform::any;
  bool failing_reads = false;
};

std::vector<EndingInput> one_input_per_ending() {
  return {
      {.name = "OpenError",
       .ending = open_error,
       .typed = "missing\n",
       .err = "content_check: missing: No such file or directory"},
      {.name = "ResultError",
       .ending = result_error,
       .typed = "data.bin\n",
       .err = "content_check: test.fzz: Is a directory",
       .input = file("data.bin", zeros(5000) + "\x01"),
       .beside = {directory("test.fzz")}},
      {.name = "Vacant", .ending = vacant, .typed = "empty\n", .input = file("empty", "")},
      {.name = "Found",
       .ending = found,
       .typed = "data.bin\n",
       .input = file("data.bin", zeros(5000) + "\x01")},
      {.name = "ZerosOnly",
       .ending = zeros_only,
       .typed = "zeros.bin\n",
       .input = file("zeros.bin", zeros(5000))},
      {.name = "ReadError",
       .ending = read_error,
       .typed = "zeros.unreadable\n",
       .err = "content_check: zeros.unreadable: Input/output error",
       .input = file("zeros.unreadable", zeros(5000)),
       .only = Platform::linux_only,
       .failing_reads = true},
  };
}

// The input, as the ending's table gives it or as another kind of entry with
// its bytes, and what the ending needs beside it.
std::vector<Fixture> fixtures_of(const EndingInput& e,
                                 Fixture (*as)(std::string, std::string) = file) {
  std::vector<Fixture> fixtures;
  if (e.input) fixtures.push_back(as(e.input->name, e.input->bytes));
  fixtures.insert(fixtures.end(), e.beside.begin(), e.beside.end());
  return fixtures;
}

// A verdict that cannot be stored is never reported as success. Wine reports
// writes into a FIFO whose reader has gone as done, so only Linux shows those.
void lost_verdict_rows(std::vector<Row>& t) {
  for (const EndingInput& e : one_input_per_ending()) {
    if (e.ending.verdict == no_verdict) continue;
    std::vector<Fixture> on_device = fixtures_of(e);
    on_device.push_back(symlink_to("test.fzz", "/dev/full"));
    t.push_back({.name = "VerdictLostOnFullDevice" + e.name,
                 .typed = e.typed,
                 .fixtures = on_device,
                 .ending = e.ending,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .err = "content_check: test.fzz: No space left on device",
                 .only = e.only,
                 .failing_reads = e.failing_reads,
                 .smoke = e.ending.line == found.line});
    // The reader of the result FIFO goes before the verdict comes: the run
    // still ends with its line instead of dying of SIGPIPE.
    std::vector<Fixture> from_fifo = fixtures_of(e, fifo);
    from_fifo.push_back(reader("test.fzz", true));
    t.push_back({.name = "ResultFifoWhoseReaderLeaves" + e.name,
                 .typed = e.typed,
                 .fixtures = from_fifo,
                 .ending = e.ending,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .err = "content_check: test.fzz: Broken pipe",
                 .only = Platform::linux_only,
                 .failing_reads = e.failing_reads});
  }
}

// A file-size limit (`ulimit -f 0`) refuses every write to a file: the run
// still ends with its line and status instead of dying by SIGXFSZ, whether
// the write refused is the verdict's or standard output's. An earlier result
// file is left cut, and the status says that no answer is in it.
void file_size_limit_rows(std::vector<Row>& t) {
  for (const EndingInput& e : one_input_per_ending()) {
    if (e.ending.verdict == no_verdict) continue;
    std::vector<Fixture> fixtures = fixtures_of(e);
    fixtures.push_back(file("test.fzz", "old"));
    t.push_back({.name = "FileSizeLimitLosesTheVerdict" + e.name,
                 .typed = e.typed,
                 .fixtures = fixtures,
                 .ending = e.ending,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .err = "content_check: test.fzz: File too large",
                 .only = Platform::linux_only,
                 .file_size_limit = 0,
                 .output = Output::busy_pipe,
                 .changed = {{"test.fzz", ""}}});
  }
  // Standard output a log already past the limit: the prompt cannot go out,
  // and the name is read all the same.
  t.push_back({.name = "FileSizeLimitOnStandardOutputKeepsOpenErrorStatus",
               .typed = "missing\nnext\n",
               .ending = open_error,
               .err = "content_check: missing: No such file or directory",
               .only = Platform::linux_only,
               .file_size_limit = 0});
  // A limit of one byte: the verdict fits, the prompt's second byte does not.
  t.push_back({.name = "FileSizeLimitOnStandardOutputSaysSo",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = found,
               .status = status_output_lost,
               .err = "content_check: standard output: File too large",
               .only = Platform::linux_only,
               .file_size_limit = 1});
}

// Standard output that fails: the verdict is stored all the same, and the
// status says that nobody saw the ending's line, unless it already says worse.
void failing_output_rows(std::vector<Row>& t) {
  struct FailingOutput {
    Output output;
    const char* name;
    const char* why;  // the line on standard error that says why the status is 2
  };
  for (const auto& [output, name, why] :
       {FailingOutput{Output::full_device, "FullDevice",
                      "content_check: standard output: No space left on device"},
        FailingOutput{Output::closed, "Closed",
                      "content_check: standard output: Bad file descriptor"},
        FailingOutput{Output::reader_gone, "PipeWithoutReader",
                      "content_check: standard output: Broken pipe"}}) {
    const std::string to = std::string("OutputTo") + name;
    for (const EndingInput& e : one_input_per_ending()) {
      const bool worse = e.ending.status != 0;
      t.push_back({.name = to + (worse ? "Keeps" + e.name + "Status" : e.name),
                   .typed = e.typed,
                   .fixtures = fixtures_of(e),
                   .ending = e.ending,
                   .status = worse ? std::nullopt : std::optional(status_output_lost),
                   .err = worse ? e.err : why,
                   .only = e.only,
                   .failing_reads = e.failing_reads,
                   .output = output,
                   .smoke = output == Output::closed && e.ending.line == found.line});
    }
    t.push_back({.name = to + "KeepsVerdictLostStatus",
                 .typed = "data.bin\n",
                 .fixtures = {file("data.bin", "\x01"), symlink_to("test.fzz", "/dev/full")},
                 .ending = found,
                 .result = std::nullopt,
                 .status = status_verdict_lost,
                 .err = "content_check: test.fzz: No space left on device",
                 .output = output});
  }
}

// Standard output left non-blocking by whoever shares it, and full for now
// while its reader is busy: the lines wait for room instead of being lost.
void busy_output_rows(std::vector<Row>& t) {
  for (const EndingInput& e : one_input_per_ending()) {
    t.push_back({.name = "BusyOutputGetsEveryLine" + e.name,
                 .typed = e.typed,
                 .fixtures = fixtures_of(e),
                 .ending = e.ending,
                 .err = e.err,
                 .only = e.only,
                 .failing_reads = e.failing_reads,
                 .output = Output::busy_pipe});
  }
}

// A standard output that takes a line in pieces, with "not now" between
// them: the line goes out whole all the same, its pieces in their order.
void trickling_output_rows(std::vector<Row>& t) {
  t.push_back({.name = "OutputTakenAByteAtATimeGetsTheWholeLine",
               .typed = "zeros.trickle\n",
               .fixtures = {file("zeros.trickle", zeros(5000))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "OutputTakenAByteAtATimeAfterAFoundByte",
               .typed = "data.trickle\n",
               .fixtures = {file("data.trickle", zeros(5000) + "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .failing_reads = true});
}

// A read that fails is no answer: no result file is left claiming one. Only
// the plain file that was created for the verdict is removed; whatever else
// the result name is stays.
void read_error_rows(std::vector<Row>& t) {
  t.push_back({.name = "ReadErrorLeavesNoResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000))},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "ReadErrorRemovesAnEarlierResultFile",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), file("test.fzz", "old")},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"test.fzz", std::nullopt}}});
  // The file it leads to was cut when it was opened for the verdict.
  t.push_back({.name = "ReadErrorLeavesAResultLinkInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), file("kept", "old"),
                            symlink_to("test.fzz", "kept")},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"kept", ""}}});
  t.push_back({.name = "ReadErrorLeavesAResultFifoInPlace",
               .typed = "zeros.unreadable\n",
               .fixtures = {file("zeros.unreadable", zeros(5000)), reader("test.fzz")},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
  // Streams, read on from their position, fail as well.
  t.push_back({.name = "ReadErrorOnAFifo",
               .typed = "zeros.unreadable\n",
               .fixtures = {fifo("zeros.unreadable", zeros(1000))},
               .ending = read_error,
               .err = "content_check: zeros.unreadable: Input/output error",
               .only = Platform::linux_only,
               .failing_reads = true});
  // The program's own memory read from its first address, which is never mapped.
  t.push_back({.name = "ReadErrorOnProcessMemory",
               .typed = "/proc/self/mem\n",
               .ending = read_error,
               .err = "content_check: /proc/self/mem: Input/output error",
               .only = Platform::linux_only});
  // A plain file with a size that cannot seek, as a FUSE file opened as a
  // stream: no read at an offset is to be had, but it reads on as a pipe does.
  t.push_back({.name = "FileThatCannotSeekIsReadOn",
               .typed = "data.unseekable\n",
               .fixtures = {file("data.unseekable", zeros(3000) + "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "FileThatCannotSeekOfZeros",
               .typed = "zeros.unseekable\n",
               .fixtures = {file("zeros.unseekable", zeros(3 << 20))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .failing_reads = true});
}

// Memory so short that the scan's usual buffer and threads cannot be had: the
// answer is the same, and an earlier result is replaced, not left cut.
void memory_limit_rows(std::vector<Row>& t) {
  constexpr rlim_t four_MiB = rlim_t{4} << 20;
  t.push_back({.name = "ShortOfMemoryEmpty",
               .typed = "empty.bin\n",
               .fixtures = {file("empty.bin", ""), file("test.fzz", "old")},
               .ending = vacant,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  t.push_back({.name = "ShortOfMemoryZeros",
               .typed = "big\n",
               .fixtures = {file("big", zeros(20 << 20))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  t.push_back({.name = "ShortOfMemoryFound",
               .typed = "big\n",
               .fixtures = {file("big", zeros(20 << 20) + "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .data_limit = four_MiB});
  // Memory that runs out once the input is open, as the result file is set
  // up: no result is made, and whatever the result name leads to stays as it was.
  t.push_back({.name = "NoMemoryForTheResultLeavesNoResultFile",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000))},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "NoMemoryForTheResultLeavesAnEarlierResultAsItWas",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000)), file("test.fzz", "old")},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "NoMemoryForTheResultThroughALink",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000)), file("kept", "old"),
                            symlink_to("test.fzz", "kept")},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true});
  t.push_back({.name = "NoMemoryForTheResultThroughADanglingLink",
               .typed = "zeros.short\n",
               .fixtures = {file("zeros.short", zeros(5000)), directory("sub"),
                            symlink_to("test.fzz", "sub/made")},
               .ending = result_error,
               .err = "content_check: test.fzz: Cannot allocate memory",
               .only = Platform::linux_only,
               .failing_reads = true,
               .changed = {{"sub/made", std::nullopt}}});
}

// Entries that another user planted in a shared directory are not written through.
void planted_entry_rows(std::vector<Row>& t) {
  t.push_back({.name = "PlantedLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                            owned_by_nobody(symlink_to("test.fzz", "victim"))},
               .ending = result_error,
               .err = "content_check: test.fzz: link in a shared directory owned by another user, "
                      "not followed",
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back(
      {.name = "PlantedDanglingLinkInStickyDirectoryIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), owned_by_nobody(symlink_to("test.fzz", "created"))},
       .ending = result_error,
       .err = "content_check: test.fzz: link in a shared directory owned by another user, not "
              "followed",
       .only = Platform::linux_only,
       .sticky = Sticky::callers});
  t.push_back(
      {.name = "OthersFileInStickyDirectoryIsNotOpened",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
       .ending = result_error,
       .err =
           "content_check: test.fzz: file in a shared directory owned by another user, not opened",
       .only = Platform::linux_only,
       .sticky = Sticky::callers});
  t.push_back(
      {.name = "OwnLinkInStickyDirectoryIsFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("mine", "old"), symlink_to("test.fzz", "mine")},
       .ending = found,
       .result = std::nullopt,
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "DirectoryOwnersLinkInStickyDirectoryIsFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("mine", "old"),
                            owned_by_nobody(symlink_to("test.fzz", "mine"))},
               .ending = found,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys,
               .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "OthersFileInStickyDirectoryOfTheirsIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .ending = found,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys});
  // Every link on the way is judged by the directory it lies in, not only the
  // first: another user's link may wait behind the caller's own.
  t.push_back({.name = "PlantedSecondLinkInStickyDirectoryIsNotFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                            symlink_to("test.fzz", "results.bin"),
                            owned_by_nobody(symlink_to("results.bin", "victim"))},
               .ending = result_error,
               .err = "content_check: test.fzz: link in a shared directory owned by another user, "
                      "not followed",
               .only = Platform::linux_only,
               .sticky = Sticky::callers,
               .kernel_links_unprotected = true});
  t.push_back(
      {.name = "PlantedLinkAmongTheTargetsDirectoriesIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("victim", "keep"),
                    symlink_to("test.fzz", "via/victim"), owned_by_nobody(symlink_to("via", "."))},
       .ending = result_error,
       .err = "content_check: test.fzz: link in a shared directory owned by another user, not "
              "followed",
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .kernel_links_unprotected = true});
  t.push_back(
      {.name = "PlantedLinkInASharedSubdirectoryIsNotFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("victim", "keep"), shared_directory("shared"),
                    owned_by_nobody(symlink_to("shared/results.bin", "../victim")),
                    symlink_to("test.fzz", "shared/results.bin")},
       .ending = result_error,
       .err = "content_check: test.fzz: link in a shared directory owned by another user, not "
              "followed",
       .only = Platform::linux_only,
       .kernel_links_unprotected = true});
  t.push_back(
      {.name = "ChainOfOwnLinksInStickyDirectoryIsFollowed",
       .typed = "data.bin\n",
       .fixtures = {file("data.bin", "\x01"), file("mine", "old"),
                    symlink_to("test.fzz", "results.bin"), symlink_to("results.bin", "mine")},
       .ending = found,
       .result = std::nullopt,
       .only = Platform::linux_only,
       .sticky = Sticky::callers,
       .kernel_links_unprotected = true,
       .changed = {{"mine", "\x01"}}});
  t.push_back({.name = "OthersLinkInAPlainSubdirectoryIsFollowed",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), file("mine", "old"), directory("plain"),
                            owned_by_nobody(symlink_to("plain/results.bin", "../mine")),
                            symlink_to("test.fzz", "plain/results.bin")},
               .ending = found,
               .result = std::nullopt,
               .only = Platform::linux_only,
               .sticky = Sticky::callers,
               .kernel_links_unprotected = true,
               .changed = {{"mine", "\x01"}}});
  // The everyday run in /tmp: no entry of the name there yet.
  t.push_back({.name = "ResultCreatedInOwnStickyDirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01")},
               .ending = found,
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "ResultCreatedInOthersStickyDirectory",
               .typed = "zeros.bin\n",
               .fixtures = {file("zeros.bin", zeros(3))},
               .ending = zeros_only,
               .only = Platform::linux_only,
               .sticky = Sticky::nobodys});
  // An entry of one's own there that takes no verdict: refused at once, not waited on.
  t.push_back({.name = "DirectoryOfTheResultNameInStickyDirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), directory("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: Is a directory",
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "FifoWithoutReaderInStickyDirectory",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), idle_fifo("test.fzz")},
               .ending = result_error,
               .err = "content_check: test.fzz: No such device or address",
               .only = Platform::linux_only,
               .sticky = Sticky::callers});
  t.push_back({.name = "OthersFileElsewhereIsReplaced",
               .typed = "data.bin\n",
               .fixtures = {file("data.bin", "\x01"), owned_by_nobody(file("test.fzz", "theirs"))},
               .ending = found,
               .only = Platform::linux_only});
}

// Each ending's steps in their order, as a tracer sees them.
void step_order_rows(std::vector<Row>& t) {
  for (const EndingInput& e : one_input_per_ending()) {
    t.push_back({.name = "StepsOf" + e.name,
                 .typed = e.typed,
                 .fixtures = fixtures_of(e),
                 .ending = e.ending,
                 .err = e.err,
                 .only = e.only,
                 .failing_reads = e.failing_reads,
                 .traced = true});
  }
}

std::vector<Row> rows() {
  std::vector<Row> t;
  content_rows(t);
  cold_rows(t);
  unusual_input_rows(t);
  name_rows(t);
  line_rows(t);
  result_name_rows(t);
  lost_verdict_rows(t);
  failing_output_rows(t);
  file_size_limit_rows(t);
  busy_output_rows(t);
  trickling_output_rows(t);
  read_error_rows(t);
  memory_limit_rows(t);
  planted_entry_rows(t);
  step_order_rows(t);
  return t;
}

std::vector<Row> rows_marked(bool smoke) {
  std::vector<Row> t = rows();
  std::erase_if(t, [smoke](const Row& row) { return row.smoke != smoke; });
  return t;
}

class EndToEnd : public InTempDir, public testing::WithParamInterface<Row> {};

TEST_P(EndToEnd, Row) {
  check(GetParam());
}

const auto row_name = [](const testing::TestParamInfo<Row>& row) { return row.param.name; };
INSTANTIATE_TEST_SUITE_P(Smoke, EndToEnd, testing::ValuesIn(rows_marked(true)), row_name);
INSTANTIATE_TEST_SUITE_P(Table, EndToEnd, testing::ValuesIn(rows_marked(false)), row_name);

// A block device reports no file size; its length is the device's size.
class LoopDevice : public InTempDir {
 protected:
  void TearDown() override { detach(); }
  void detach() {
    if (!device_.empty()) ::system(("losetup -d " + device_).c_str());
    device_.clear();
  }
  // Attaches a file of the bytes as a loop device, of logical blocks of the
  // sector size; empty when that cannot be done here.
  std::string attach(const std::string& bytes, int sector = 512) {
    const fs::path image = scratch_.path() / "image";
    std::ofstream(image, std::ios::binary) << bytes;
    const std::string command = "losetup -f --show --sector-size " + std::to_string(sector) + " " +
                                image.string() + " 2>/dev/null";
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
      char line[256] = {};
      if (std::fgets(line, sizeof line, p) != nullptr) device_ = line;
      ::pclose(p);
    }
    while (!device_.empty() && device_.back() == '\n') device_.pop_back();
    return device_;
  }
  std::string device_;
};

TEST_F(LoopDevice, IsReadToTheDevicesSize) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  for (const auto& [content, ending] :
       {std::pair{zeros(1 << 20), zeros_only}, std::pair{zeros((1 << 20) - 1) + "\x01", found}}) {
    if (attach(content).empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
    check({.name = "loop", .typed = device_ + "\n", .ending = ending});
    detach();
    fs::remove(dir_.path() / "test.fzz");
  }
}

// Cold, a block device is read around the page cache: the same answers, for a
// non-zero byte on either side of the first reads' ends, of the middle and of
// the end, with logical blocks of 512 and of 4096 bytes; and not a page of
// the device is cached afterwards. The test holds the device open, since its
// last close drops its cache whatever was read.
TEST_F(LoopDevice, ColdIsReadAroundTheCache) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  constexpr std::size_t KiB = 1024, size = 24 << 20;
  const std::optional<std::size_t> nonzero[] = {std::nullopt, 0,         64 * KiB - 1,
                                                64 * KiB,     320 * KiB, 320 * KiB - 1,
                                                size / 2 - 1, size / 2,  size - 1};
  for (const int sector : {512, 4096}) {
    for (const std::optional<std::size_t>& at : nonzero) {
      SCOPED_TRACE("logical blocks of " + std::to_string(sector) + ", non-zero byte at " +
                   (at ? std::to_string(*at) : "none"));
      std::string bytes = zeros(size);
      if (at) bytes[*at] = '\x01';
      if (attach(bytes, sector).empty()) GTEST_SKIP() << "losetup cannot attach a loop device here";
      const int held = ::open(device_.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(held, 0);
      ASSERT_TRUE(make_cold(device_));
      if (const std::string why = why_not_cold(device_); !why.empty()) {
        ::close(held);
        GTEST_SKIP() << why;
      }
      check({.name = "cold", .typed = device_ + "\n", .ending = at ? found : zeros_only});
      EXPECT_EQ(cached_pages(device_), 0);
      ::close(held);
      detach();
      fs::remove(dir_.path() / "test.fzz");
    }
  }
}

// A second device node for the device being examined is that device too: the
// verdict goes to the other name, and the device keeps its bytes.
TEST_F(LoopDevice, SecondNodeOfTheDeviceIsNoResultFile) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  if (attach("\x05" + zeros((1 << 20) - 1)).empty())
    GTEST_SKIP() << "losetup cannot attach a loop device here";
  struct stat device {};
  ASSERT_EQ(::stat(device_.c_str(), &device), 0);
  const fs::path node = dir_.path() / "test.fzz";
  ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, device.st_rdev), 0);
  check({.name = "node", .typed = device_ + "\n", .ending = found, .result = "test2.fzz"});
  // Read back through the device, whose cache holds whatever was written into it.
  std::ifstream in(device_, std::ios::binary);
  char first = 0;
  in.read(&first, 1);
  EXPECT_EQ(first, '\x05');
}

// A file system with no room left: a tmpfs of four pages mounted over the
// working directory, which a row's fixtures fill.
class FullDisk : public InTempDir {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    const std::string mount_options = "size=" + std::to_string(4 * page()) + ",mode=0700";
    if (::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, mount_options.c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here";
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
  }

  static std::size_t page() { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }
  // Takes the three pages that a one-byte input leaves.
  static Fixture filler() { return file("fill", zeros(3 * page())); }

  bool mounted_ = false;
};

// Windows refuses even to cut a new file there: the file that the run created
// is taken away again. On Linux the verdict is lost at the close, and the
// empty file stays.
TEST_F(FullDisk, ResultFileCreatedForNothingIsNotLeftBehind) {
  const std::vector<Fixture> fixtures = {file("data.bin", "\x01"), filler()};
  if (options.windows_build)
    check({.name = "new",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = result_error,
           .err = "content_check: test.fzz: There is not enough space on the disk"});
  else
    check({.name = "new",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = found,
           .result = std::nullopt,
           .status = status_verdict_lost,
           .err = "content_check: test.fzz: No space left on device",
           .changed = {{"test.fzz", ""}}});
}

// A result file that was there before stays, whichever way the run fails.
TEST_F(FullDisk, EarlierResultFileIsLeftAsFound) {
  const std::vector<Fixture> fixtures = {file("data.bin", "\x01"), file("test.fzz", ""), filler()};
  if (options.windows_build)
    check({.name = "old",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = result_error,
           .err = "content_check: test.fzz: There is not enough space on the disk"});
  else
    check({.name = "old",
           .typed = "data.bin\n",
           .fixtures = fixtures,
           .ending = found,
           .result = std::nullopt,
           .status = status_verdict_lost,
           .err = "content_check: test.fzz: No space left on device"});
}

// A directory of the working directory mounted again over itself, read-only:
// there nobody may write, root included.
class ReadOnlyMount : public InTempDir {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
    ASSERT_NO_FATAL_FAILURE(make(dir_.path(), directory("ro")));
    ASSERT_NO_FATAL_FAILURE(make(dir_.path(), file("ro/data.bin", zeros(4096) + "\x01")));
    const fs::path ro = dir_.path() / "ro";
    if (::mount(ro.c_str(), ro.c_str(), nullptr, MS_BIND, nullptr) != 0)
      GTEST_SKIP() << "cannot bind-mount a directory here";
    mounted_ = true;
    if (::mount(nullptr, ro.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      GTEST_SKIP() << "cannot make a bind mount read-only here";
  }
  void TearDown() override {
    if (mounted_) ::umount2((dir_.path() / "ro").c_str(), MNT_DETACH);
  }

  bool mounted_ = false;
};

// An input that no open for writing can reach, behind test.fzz: examined, and
// answered in test2.fzz.
TEST_F(ReadOnlyMount, InputThereBehindTestFzzIsExaminedIntoTest2) {
  check({.name = "mount",
         .typed = "ro/data.bin\n",
         .fixtures = {symlink_to("test.fzz", "ro/data.bin")},
         .ending = found,
         .result = "test2.fzz",
         .traced = true});
}

// Memory that runs out anywhere from the prompt to the scan, the limit raised
// a page at a time from where the program cannot even start to where it has
// its verdict: every run that asks for a name ends with one of its lines and
// nothing on standard error, and leaves a result file only with the verdict.
TEST_F(InTempDir, MemoryRunningOutBeforeTheScanEndsWithALine) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  struct Sweep {
    std::string name;
    bool address_space = false;  // RLIMIT_AS (ulimit -v) instead of RLIMIT_DATA (ulimit -d)
    rlim_t from_KiB = 0;         // low enough that the program cannot start
    std::string input{};
    Ending verdict = found;
  };
  const Sweep sweeps[] = {
      {.name = "data, zeros", .from_KiB = 64, .input = zeros(1 << 20), .verdict = zeros_only},
      {.name = "data, found", .from_KiB = 64, .input = zeros(1 << 16) + "\x01"},
      {.name = "data, empty", .from_KiB = 64, .input = "", .verdict = vacant},
      {.name = "address space, zeros",
       .address_space = true,
       .from_KiB = 1024,
       .input = zeros(1 << 20),
       .verdict = zeros_only},
      {.name = "address space, found",
       .address_space = true,
       .from_KiB = 1024,
       .input = zeros(1 << 16) + "\x01"},
  };
  // Once the verdict has come at this many limits in a row, memory no longer runs short.
  constexpr int verdicts_to_end = 16;
  const fs::path& dir = dir_.path();
  for (const Sweep& sweep : sweeps) {
    SCOPED_TRACE(sweep.name);
    ASSERT_NO_FATAL_FAILURE(make(dir, file("in", sweep.input)));
    const Snapshot before = snapshot(dir);
    const auto run_at = [&](rlim_t kib) {
      Watch watch;
      (sweep.address_space ? watch.address_limit : watch.data_limit) = kib << 10;
      return run_in(dir, "in\n", Input::pipe, Output::file, scratch_.path(), watch);
    };
    // Below some limit the loader cannot set the process up, and says so
    // itself. The first limit where the program asks is found in long steps,
    // and the sweep goes on from the step before, a page at a time.
    constexpr rlim_t long_step = 64;
    constexpr rlim_t widest = 64 << 10;
    // A program that cannot start even at the widest limit (a sanitizer's,
    // which maps far more than any of these) has nothing to sweep.
    if (run_at(sweep.from_KiB + widest).out.empty())
      GTEST_SKIP() << "the program cannot start even under " << (sweep.from_KiB + widest) << " KiB";
    rlim_t first_asked = sweep.from_KiB;
    while (first_asked < sweep.from_KiB + widest && run_at(first_asked).out.empty())
      first_asked += long_step;
    fs::remove(dir / "test.fzz");
    int asked = 0;        // runs that got as far as the prompt
    int short_of_it = 0;  // of those, runs that ended without the verdict
    int verdicts_in_a_row = 0;
    for (rlim_t kib = std::max(sweep.from_KiB, first_asked - long_step + 4);
         kib < first_asked + widest && verdicts_in_a_row < verdicts_to_end; kib += 4) {
      SCOPED_TRACE(std::to_string(kib) + " KiB");
      const Finished run = run_at(kib);
      if (run.out.empty() && run.status != 0) continue;
      ++asked;
      const Ending* const ending =
          ending_shown(run.out, {&sweep.verdict, &open_error, &read_error, &result_error});
      if (ending == nullptr) {
        ADD_FAILURE() << "no ending line: " << testing::PrintToString(run.out) << ", status "
                      << run.status << ", standard error " << testing::PrintToString(run.err);
        fs::remove(dir / "test.fzz");
        continue;
      }
      // A failure ending says why, in one line; the others say nothing there.
      if (ending->status == 1)
        EXPECT_TRUE(run.err.starts_with("content_check: ") &&
                    std::count(run.err.begin(), run.err.end(), '\n') == 1)
            << run.err;
      else
        EXPECT_EQ(run.err, "");
      EXPECT_EQ(run.status, ending->status);
      if (ending->verdict != no_verdict)
        EXPECT_EQ(read_all(dir / "test.fzz"), std::string(1, static_cast<char>(ending->verdict)));
      else
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "test.fzz"))) << ending->line;
      fs::remove(dir / "test.fzz");
      EXPECT_EQ(snapshot(dir), before);
      const bool verdict = ending->line == sweep.verdict.line;
      verdicts_in_a_row = verdict ? verdicts_in_a_row + 1 : 0;
      if (!verdict) ++short_of_it;
    }
    // A program that cannot start under any of these limits (a sanitizer's
    // shadow memory) shows nothing here.
    if (asked == 0) GTEST_SKIP() << "the program cannot start under the limits";
    EXPECT_EQ(verdicts_in_a_row, verdicts_to_end) << "the verdict never came";
    EXPECT_GT(short_of_it, 0) << "memory never ran short after the prompt: start lower";
    fs::remove(dir / "in");
  }
}

// A writer that keeps cutting the file of zeros at zeros_file and growing it
// again, from low to high bytes and back, with zeros only, while the program
// reads it: a byte that did not come is no evidence, so whatever the program
// answers, it is never that it found one. Runs until the time or the runs
// run out, since the race is won only now and then; prints how often each
// ending came.
void never_found_while_cut_and_grown(const fs::path& dir, const fs::path& scratch,
                                     const std::string& typed, const fs::path& zeros_file,
                                     std::int64_t low, std::int64_t high, bool cold) {
  const int fd = ::open(zeros_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, high), 0);
  // Cut and grown, the file is all hole: nothing of it is ever cached.
  if (cold) {
    if (const std::string why = why_not_cold(zeros_file); !why.empty()) {
      ::close(fd);
      GTEST_SKIP() << why;
    }
  }
  std::atomic<bool> stop = false;
  std::thread writer([&] {
    while (!stop) {
      if (::ftruncate(fd, low) != 0 || ::ftruncate(fd, high) != 0) return;
    }
  });
  const std::string nl = options.windows_build ? "\r\n" : "\n";
  std::map<std::string_view, int> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(cold ? 10 : 20);
  for (int run_count = 1; run_count <= 200 && std::chrono::steady_clock::now() < deadline;
       ++run_count) {
    const Finished run = run_in(dir, typed, Input::pipe, Output::file, scratch, {});
    const Ending* const ending =
        ending_shown(run.out, {&zeros_only, &vacant, &read_error, &found}, nl);
    if (ending == nullptr || ending == &found) {
      ADD_FAILURE() << "run " << run_count << " answered: " << run.out;
      break;
    }
    ++seen[ending->line];
    EXPECT_EQ(run.status, ending->status);
    std::error_code ignored;
    fs::remove(dir / "test.fzz", ignored);
  }
  stop = true;
  writer.join();
  ::close(fd);
  std::string tally;
  for (const auto& [line, count] : seen)
    tally += std::string(line) + ": " + std::to_string(count) + "; ";
  std::cout << "[          ] " << tally << "\n";
}

// On Linux the file is cut to nothing and grown to 1 MiB on a tmpfs, where
// this race was seen; the Windows build sees its file grown from 32 MiB to
// 64 MiB and cut back, never below its first size.
TEST_F(InTempDir, FileOfZerosCutAndGrownWhileReadIsNeverFound) {
  constexpr std::int64_t MiB = std::int64_t{1} << 20;
  const bool windows = options.windows_build;
  fs::path where = dir_.path();
  std::optional<fs::path> mounted, made;
  const struct Undo {
    std::optional<fs::path>&mounted, &made;
    ~Undo() {
      if (mounted) ::umount2(mounted->c_str(), MNT_DETACH);
      std::error_code ignored;
      if (made) fs::remove_all(*made, ignored);
    }
  } undo{mounted, made};
  struct statfs fs_info {};
  const auto on_tmpfs = [&fs_info](const fs::path& p) {
    return ::statfs(p.c_str(), &fs_info) == 0 && fs_info.f_type == TMPFS_MAGIC;
  };
  if (!windows && !on_tmpfs(where)) {
    char shm[] = "/dev/shm/content_check-race-XXXXXX";
    if (::geteuid() == 0 && ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=8m,mode=0700") == 0) {
      mounted = where;
    } else if (on_tmpfs("/dev/shm") && ::mkdtemp(shm) != nullptr) {
      where = shm;
      made = where;
    } else {
      GTEST_SKIP() << "no tmpfs: none can be mounted without root, and /dev/shm is none";
    }
  }
  const fs::path zeros_file = where / "zeros";
  if (windows) {
    never_found_while_cut_and_grown(dir_.path(), scratch_.path(), "zeros\n", zeros_file, 64 * MiB,
                                    32 * MiB, false);
  } else {
    never_found_while_cut_and_grown(dir_.path(), scratch_.path(), zeros_file.string() + "\n",
                                    zeros_file, 0, MiB, false);
  }
}

// The same on the file system of the temporary directory, whose reads of the
// file, never cached, go around the page cache.
TEST_F(InTempDir, ColdFileOfZerosCutAndGrownWhileReadDirectlyIsNeverFound) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  never_found_while_cut_and_grown(dir_.path(), scratch_.path(), "zeros\n", dir_.path() / "zeros", 0,
                                  std::int64_t{1} << 20, true);
}

// Standard input left non-blocking by whoever shares it, with the name typed
// only after the program has asked for it: the name is waited for, not taken
// as empty.
TEST_F(InTempDir, NameTypedLateIntoNonBlockingInputIsWaitedFor) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  ASSERT_NO_FATAL_FAILURE(make(dir_.path(), file("data.bin", "\x01")));
  int typed[2];
  ASSERT_EQ(::pipe2(typed, O_CLOEXEC), 0);
  ASSERT_EQ(::fcntl(typed[0], F_SETFL, ::fcntl(typed[0], F_GETFL) | O_NONBLOCK), 0);
  std::thread typist([fd = typed[1]] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string line = "data.bin\n";
    EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(fd);
  });
  const Finished run = run_with(dir_.path(), typed[0], Output::file, scratch_.path());
  typist.join();
  ::close(typed[0]);
  EXPECT_EQ(run.out, dialogue(found));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, found.status);
  EXPECT_EQ(read_all(dir_.path() / "test.fzz"), "\x01");
}

// Standard input on a socket that keeps messages apart: a name sent as one
// message is that message's line, and later messages are left to whoever
// reads on. Each case ends with a message of its own newline, so that a
// program taking one byte of each message still comes to an end.
TEST_F(InTempDir, NameSentAsOneMessageIsTheMessagesLine) {
  if (options.windows_build) GTEST_SKIP() << "a case for the other platform";
  const std::string long_name(127, 'n');
  for (const Fixture& f : {file("data.bin", "\x01"), file(long_name, zeros(2))})
    ASSERT_NO_FATAL_FAILURE(make(dir_.path(), f));
  struct Case {
    std::string name;
    int type = SOCK_SEQPACKET;
    std::vector<std::string> messages{};  // the first is the program's
    Ending ending = found;
    std::string err{};  // what standard error shows
    // The program's end left non-blocking, the messages sent only once it waits.
    bool late = false;
  };
  const Case cases[] = {
      {.name = "sequenced packets", .messages = {"data.bin\n", "next\n", "\n"}},
      {.name = "datagrams", .type = SOCK_DGRAM, .messages = {"data.bin\n", "next\n", "\n"}},
      {.name = "a message without a newline", .messages = {"data.bin", "next\n", "\n"}},
      {.name = "a datagram without a newline",
       .type = SOCK_DGRAM,
       .messages = {"data.bin", "next\n", "\n"}},
      {.name = "bytes after the newline", .messages = {"data.bin\nmore\n", "next\n", "\n"}},
      // Cut to what a name holds, and so no name to open: the file of its
      // first 127 bytes is not the one named.
      {.name = "a long line",
       .type = SOCK_DGRAM,
       .messages = {long_name + std::string(73, 'm') + "\n", "next\n", "\n"},
       .ending = open_error,
       .err = "content_check: " + long_name + ": name longer than 127 bytes, not opened\n"},
      {.name = "a datagram that comes late to a non-blocking input",
       .type = SOCK_DGRAM,
       .messages = {"data.bin\n", "next\n", "\n"},
       .late = true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, c.type | SOCK_CLOEXEC, 0, ends), 0);
    if (c.late) {
      ASSERT_EQ(::fcntl(ends[0], F_SETFL, ::fcntl(ends[0], F_GETFL) | O_NONBLOCK), 0);
    }
    std::thread sender([&c, fd = ends[1]] {
      if (c.late) std::this_thread::sleep_for(std::chrono::milliseconds(300));
      for (const std::string& message : c.messages)
        EXPECT_EQ(::send(fd, message.data(), message.size(), 0),
                  static_cast<ssize_t>(message.size()));
    });
    if (!c.late) sender.join();
    const Finished run = run_with(dir_.path(), ends[0], Output::file, scratch_.path());
    if (sender.joinable()) sender.join();
    EXPECT_EQ(run.out, dialogue(c.ending));
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.status, c.ending.status);
    if (c.ending.verdict == no_verdict)
      EXPECT_FALSE(fs::exists(dir_.path() / "test.fzz"));
    else
      EXPECT_EQ(read_all(dir_.path() / "test.fzz"),
                std::string(1, static_cast<char>(c.ending.verdict)));
    std::vector<std::string> unread;
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::recv(ends[0], buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
      unread.emplace_back(buffer, static_cast<std::size_t>(n));
    EXPECT_EQ(unread, std::vector<std::string>(c.messages.begin() + 1, c.messages.end()));
    ::close(ends[0]);
    ::close(ends[1]);
    fs::remove(dir_.path() / "test.fzz");
  }
}

}  // namespace

int main(int argc, char** argv) {
  return run_runner(argc, argv);
}
