// The scan over real files with holes, preallocated space, unflushed writes and
// growth, and the hole query made to fail the ways file systems do.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "content_check.h"
#include "files.h"
#include "platform.h"
#include "platform_linux.h"
#include "test_names.h"

namespace {

constexpr std::int64_t MiB = std::int64_t{1} << 20;

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base != nullptr ? base : "/tmp") + "/content_check-holes-XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) path_.clear();
  }
  ~TempDir() {
    ::unlink(file().c_str());
    ::rmdir(path_.c_str());
  }
  std::string file() const { return path_ + "/input"; }

 private:
  std::string path_;
};

struct Layout {
  const char* what;
  std::int64_t size;                  // the length, by truncation
  std::int64_t preallocate = 0;       // bytes reserved with fallocate from 0
  std::int64_t zeros = 0;             // zero bytes written from 0
  std::vector<std::int64_t> nonzero;  // offsets of 0x01 bytes written
  ScanResult expected;
};

void PrintTo(const Layout& l, std::ostream* os) {
  *os << l.what;
}

// Writes the layout without syncing, as a program would just before the scan.
void make(const std::string& path, const Layout& l) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  if (l.preallocate > 0) {
    ASSERT_EQ(::posix_fallocate(fd, 0, l.preallocate), 0);
  }
  const std::vector<char> zeros(static_cast<std::size_t>(l.zeros), '\0');
  if (!zeros.empty()) {
    ASSERT_EQ(::pwrite(fd, zeros.data(), zeros.size(), 0), l.zeros);
  }
  for (std::int64_t at : l.nonzero) ASSERT_EQ(::pwrite(fd, "\x01", 1, at), 1);
  ASSERT_EQ(::ftruncate(fd, l.size), 0);
  ::close(fd);
}

ScanResult scan_file(const std::string& path) {
  File input(platform::open_input(path.c_str()));
  EXPECT_TRUE(input);
  InputSource source(input.get());
  return scan_for_nonzero(source);
}

std::vector<Layout> layouts() {
  using enum ScanResult;
  return {
      {"sparse with no data", 64 * MiB, 0, 0, {}, not_found},
      {"data after a hole", 8 * MiB, 0, 0, {5 * MiB + 17}, found},
      {"data then a hole to the end", 8 * MiB, 0, 0, {3}, found},
      {"written zeros then a hole", 8 * MiB, 0, 2 * MiB, {}, not_found},
      {"only the last byte after a hole", 8 * MiB, 0, 0, {8 * MiB - 1}, found},
      {"preallocated and never written", 16 * MiB, 16 * MiB, 0, {}, not_found},
      {"preallocated and written in one place", 16 * MiB, 16 * MiB, 0, {7 * MiB + 3}, found},
      {"preallocated and written near its end", 16 * MiB, 16 * MiB, 0, {15 * MiB}, found},
      {"first byte of a block", 3 * MiB, 0, 3 * MiB, {0}, found},
      {"last byte of the first block", 3 * MiB, 0, 3 * MiB, {MiB - 1}, found},
      {"first byte of the second block", 3 * MiB, 0, 3 * MiB, {MiB}, found},
      {"last byte of the second block", 3 * MiB, 0, 3 * MiB, {2 * MiB - 1}, found},
      {"last byte of the file", 3 * MiB, 0, 3 * MiB, {3 * MiB - 1}, found},
      {"blocks of zeros only", 3 * MiB, 0, 3 * MiB, {}, not_found},
  };
}

class Holes : public testing::TestWithParam<Layout> {};

TEST_P(Holes, AnswerAsIfEveryByteWereRead) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(make(dir.file(), GetParam()));
  EXPECT_EQ(scan_file(dir.file()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Holes, testing::ValuesIn(layouts()),
                         [](const testing::TestParamInfo<Layout>& l) {
                           return test_name(l.param.what);
                         });

TEST(Holes, FindAnUnsyncedByteAtARandomOffset) {
  std::mt19937_64 random(std::random_device{}());
  for (int round = 0; round < 20; ++round) {
    const auto at = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(256 * MiB));
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make(dir.file(), {"random", 256 * MiB, 0, 0, {at}, ScanResult::found}));
    EXPECT_EQ(scan_file(dir.file()), ScanResult::found) << "byte at " << at;
  }
}

// Appends a non-zero byte to the file after its first read, as a writer that
// is still at work would.
class GrowingFile final : public ByteSource {
 public:
  GrowingFile(std::FILE* input, std::string path) : inner_(input), path_(std::move(path)) {}
  std::int64_t length() override { return inner_.length(); }
  DataExtent next_data(std::int64_t offset) override { return inner_.next_data(offset); }
  bool seek(std::int64_t offset) override { return inner_.seek(offset); }
  std::ptrdiff_t read(std::span<unsigned char> into) override {
    const std::ptrdiff_t got = inner_.read(into);
    if (!grown_) {
      grown_ = true;
      const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
      EXPECT_GE(fd, 0);
      EXPECT_EQ(::ftruncate(fd, 5 * MiB), 0);  // a hole, then the byte
      EXPECT_EQ(::write(fd, "\x02", 1), 1);
      ::close(fd);
    }
    return got;
  }

 private:
  InputSource inner_;
  std::string path_;
  bool grown_ = false;
};

TEST(Holes, AFileThatGrowsBetweenBlocksIsReadToItsNewEnd) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(make(dir.file(), {"growing", 2 * MiB, 0, 2 * MiB, {}, {}}));
  File input(platform::open_input(dir.file().c_str()));
  ASSERT_TRUE(input);
  GrowingFile source(input.get(), dir.file());
  EXPECT_EQ(scan_for_nonzero(source), ScanResult::found);
}

// --- the hole query made to fail --------------------------------------------

struct FakeSeek {
  int data_errno = 0;      // SEEK_DATA fails with this, when set
  int hole_errno = 0;      // SEEK_HOLE fails with this, when set
  bool hole_here = false;  // SEEK_HOLE answers the offset it was given
};
FakeSeek fake;

off_t fake_seek(int fd, off_t offset, int whence) {
  if (whence == SEEK_DATA && fake.data_errno != 0) {
    errno = fake.data_errno;
    return -1;
  }
  if (whence == SEEK_HOLE && fake.hole_errno != 0) {
    errno = fake.hole_errno;
    return -1;
  }
  if (whence == SEEK_HOLE && fake.hole_here) return ::lseek(fd, offset, SEEK_SET);
  return ::lseek(fd, offset, whence);
}

// A real file whose hole queries go through the fake seek.
class FakedHoles final : public ByteSource {
 public:
  explicit FakedHoles(std::FILE* input) : inner_(input), fd_(::fileno(input)) {}
  std::int64_t length() override { return inner_.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return inner_.read(into); }
  DataExtent next_data(std::int64_t offset) override {
    return platform::next_data_with(fd_, offset, fake_seek);
  }
  bool seek(std::int64_t offset) override { return inner_.seek(offset); }

 private:
  InputSource inner_;
  int fd_;
};

struct Failure {
  const char* what;
  FakeSeek seek;
};

void PrintTo(const Failure& f, std::ostream* os) {
  *os << f.what;
}

class FailingHoleQuery : public testing::TestWithParam<Failure> {
 protected:
  void TearDown() override { fake = {}; }
};

TEST_P(FailingHoleQuery, FallsBackToReadingAndKeepsTheAnswer) {
  fake = GetParam().seek;
  for (const Layout& l : layouts()) {
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make(dir.file(), l));
    File input(platform::open_input(dir.file().c_str()));
    ASSERT_TRUE(input);
    FakedHoles source(input.get());
    EXPECT_EQ(scan_for_nonzero(source), l.expected) << l.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, FailingHoleQuery,
                         testing::Values(Failure{"data query not supported", {EOPNOTSUPP}},
                                         Failure{"data query invalid", {EINVAL}},
                                         Failure{"hole query fails", {0, EIO}},
                                         Failure{"hole at the current offset", {0, 0, true}}),
                         [](const testing::TestParamInfo<Failure>& f) {
                           return test_name(f.param.what);
                         });

TEST(HoleQuery, ReportsNoDataToTheEndAndLeavesThePositionOnFailure) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(make(dir.file(), {"", 4 * MiB, 0, 0, {MiB}, {}}));
  const int fd = ::open(dir.file().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);

  DataExtent e = platform::next_data_with(fd, 0, ::lseek);
  EXPECT_EQ(e.kind, DataExtent::data);
  EXPECT_LE(e.start, MiB);
  EXPECT_GT(e.end, MiB);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), e.start);

  e = platform::next_data_with(fd, 2 * MiB, ::lseek);
  EXPECT_EQ(e.kind, DataExtent::none);

  fake = {EINVAL};
  ASSERT_EQ(::lseek(fd, 123, SEEK_SET), 123);
  e = platform::next_data_with(fd, 123, fake_seek);
  EXPECT_EQ(e.kind, DataExtent::unknown);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 123);
  fake = {};
  ::close(fd);
}

}  // namespace
