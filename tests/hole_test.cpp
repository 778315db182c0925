// The scan over real files with holes, preallocated space, unflushed writes and
// growth, and the hole query made to fail the ways file systems do.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "input.h"
#include "input_linux.h"
#include "page_cache.h"
#include "scan_memory.h"
#include "seek_seam.h"
#include "temp_dir.h"
#include "test_names.h"
#include "test_seed.h"

namespace {

using row_printing::PrintTo;

constexpr std::int64_t MiB = std::int64_t{1} << 20;

// The file each case makes and scans, in its own temporary directory.
std::string input_path(const TempDir& dir) {
  return (dir.path() / "input").string();
}

struct Layout {
  const char* what = "";
  std::int64_t size = 0;                // the length, by truncation
  std::int64_t preallocate = 0;         // bytes reserved with fallocate from 0
  std::int64_t zeros = 0;               // zero bytes written from 0
  std::vector<std::int64_t> nonzero{};  // offsets of 0x01 bytes written
  ScanResult expected = ScanResult::not_found;
};

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
  const std::unique_ptr<platform::Input> input = platform::open_input(path.c_str());
  EXPECT_TRUE(input);
  return input ? scan_for_nonzero(*input) : ScanResult::read_error;
}

std::vector<Layout> layouts() {
  using enum ScanResult;
  return {
      {.what = "sparse with no data", .size = 64 * MiB, .expected = not_found},
      {.what = "data after a hole", .size = 8 * MiB, .nonzero = {5 * MiB + 17}, .expected = found},
      {.what = "data then a hole to the end", .size = 8 * MiB, .nonzero = {3}, .expected = found},
      {.what = "written zeros then a hole",
       .size = 8 * MiB,
       .zeros = 2 * MiB,
       .expected = not_found},
      {.what = "only the last byte after a hole",
       .size = 8 * MiB,
       .nonzero = {8 * MiB - 1},
       .expected = found},
      {.what = "preallocated and never written",
       .size = 16 * MiB,
       .preallocate = 16 * MiB,
       .expected = not_found},
      {.what = "preallocated and written in one place",
       .size = 16 * MiB,
       .preallocate = 16 * MiB,
       .nonzero = {7 * MiB + 3},
       .expected = found},
      {.what = "preallocated and written near its end",
       .size = 16 * MiB,
       .preallocate = 16 * MiB,
       .nonzero = {15 * MiB},
       .expected = found},
      {.what = "first byte", .size = 3 * MiB, .zeros = 3 * MiB, .nonzero = {0}, .expected = found},
      {.what = "last byte of the first MiB",
       .size = 3 * MiB,
       .zeros = 3 * MiB,
       .nonzero = {MiB - 1},
       .expected = found},
      {.what = "first byte of the second MiB",
       .size = 3 * MiB,
       .zeros = 3 * MiB,
       .nonzero = {MiB},
       .expected = found},
      {.what = "last byte of the second MiB",
       .size = 3 * MiB,
       .zeros = 3 * MiB,
       .nonzero = {2 * MiB - 1},
       .expected = found},
      {.what = "last byte of the first read",
       .size = 3 * MiB,
       .zeros = 3 * MiB,
       .nonzero = {static_cast<std::int64_t>(first_read) - 1},
       .expected = found},
      {.what = "first byte after the first read",
       .size = 3 * MiB,
       .zeros = 3 * MiB,
       .nonzero = {static_cast<std::int64_t>(first_read)},
       .expected = found},
      {.what = "last byte of the file",
       .size = 3 * MiB,
       .zeros = 3 * MiB,
       .nonzero = {3 * MiB - 1},
       .expected = found},
      {.what = "stored zeros only", .size = 3 * MiB, .zeros = 3 * MiB, .expected = not_found},
      // Large enough for every reader: bytes for each of them to meet.
      {.what = "zeros read by several readers",
       .size = 40 * MiB,
       .zeros = 40 * MiB,
       .expected = not_found},
      {.what = "a byte far into zeros read by several readers",
       .size = 40 * MiB,
       .zeros = 40 * MiB,
       .nonzero = {29 * MiB + 5},
       .expected = found},
      {.what = "the last byte of zeros read by several readers",
       .size = 40 * MiB,
       .zeros = 40 * MiB,
       .nonzero = {40 * MiB - 1},
       .expected = found},
      {.what = "stretches of data between holes",
       .size = 64 * MiB,
       .nonzero = {9 * MiB, 20 * MiB, 33 * MiB, 60 * MiB + 1},
       .expected = found},
  };
}

class Holes : public testing::TestWithParam<Layout> {};

TEST_P(Holes, AsIfRead) {
  TempDir dir;
  ASSERT_NO_FATAL_FAILURE(make(input_path(dir), GetParam()));
  EXPECT_EQ(scan_file(input_path(dir)), GetParam().expected);
}

// The same once the file is cold, and the page cache left as it was: read
// directly, not a page of the file is cached after the scan.
TEST_P(Holes, AsIfReadColdAroundTheCache) {
  TempDir dir;
  const std::string path = input_path(dir);
  ASSERT_NO_FATAL_FAILURE(make(path, GetParam()));
  ASSERT_TRUE(make_cold(path));
  if (const std::string why = why_not_cold(path); !why.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(scan_file(path), GetParam().expected);
  EXPECT_EQ(cached_pages(path), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, Holes, testing::ValuesIn(layouts()),
                         [](const testing::TestParamInfo<Layout>& l) {
                           return test_name(l.param.what);
                         });

TEST(Holes, FindAnUnsyncedByteAtARandomOffset) {
  std::mt19937_64 random(test_seed());
  for (int round = 0; round < 20; ++round) {
    const auto at = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(256 * MiB));
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(
        make(input_path(dir), {.what = "random", .size = 256 * MiB, .nonzero = {at}}));
    EXPECT_EQ(scan_file(input_path(dir)), ScanResult::found) << "byte at " << at;
  }
}

// A file whose first part is in the cache, as one is that was read half way:
// that part is read from the cache, and the kernel's reading ahead of those
// reads stays near it, never pulling the rest of the file into the cache for
// the scan to read from there.
TEST(Holes, OnlyTheCachedPartOfAFileIsReadThroughTheCache) {
  TempDir dir;
  const std::string path = input_path(dir);
  ASSERT_NO_FATAL_FAILURE(
      make(path, {.size = 256 * MiB, .zeros = 256 * MiB, .nonzero = {256 * MiB - 1}}));
  ASSERT_TRUE(make_cold(path));
  if (const std::string why = why_not_cold(path); !why.empty()) GTEST_SKIP() << why;
  {
    std::ifstream first_part(path, std::ios::binary);
    std::vector<char> bytes(32 * MiB);
    ASSERT_TRUE(first_part.read(bytes.data(), static_cast<std::streamsize>(bytes.size())));
  }
  ASSERT_EQ(cached_pages(path, 0, 32 * MiB), 32 * MiB / 4096);
  EXPECT_EQ(scan_file(path), ScanResult::found);
  EXPECT_EQ(cached_pages(path, 0, 32 * MiB), 32 * MiB / 4096) << "the cached part";
  EXPECT_EQ(cached_pages(path, 128 * MiB, 128 * MiB), 0) << "the cold end";
}

// Appends a non-zero byte to the file after its first read, as a writer that
// is still at work would; read as a stream, or at offsets by several readers.
class GrowingFile final : public ByteSource {
 public:
  GrowingFile(platform::Input& input, std::string path, bool positioned)
      : inner_(input), path_(std::move(path)), positioned_(positioned) {}
  std::int64_t length() override { return inner_.length(); }
  DataExtent next_data(std::int64_t offset) override { return inner_.next_data(offset); }
  bool seek(std::int64_t offset) override { return inner_.seek(offset); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return grown(inner_.read(into)); }
  bool positioned() const override { return positioned_; }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    return grown(inner_.read_at(into, offset));
  }

 private:
  std::ptrdiff_t grown(std::ptrdiff_t got) {
    std::call_once(grown_, [this] {
      const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND);
      EXPECT_GE(fd, 0);
      EXPECT_EQ(::ftruncate(fd, 5 * MiB), 0);  // a hole, then the byte
      EXPECT_EQ(::write(fd, "\x02", 1), 1);
      ::close(fd);
    });
    return got;
  }

  platform::Input& inner_;
  std::string path_;
  bool positioned_;
  std::once_flag grown_;
};

// Also when it is read directly, cold, with its new byte cached.
TEST(Holes, AFileThatGrowsBetweenBlocksIsReadToItsNewEnd) {
  for (const bool cold : {false, true}) {
    for (const bool positioned : {false, true}) {
      TempDir dir;
      ASSERT_NO_FATAL_FAILURE(
          make(input_path(dir), {.what = "growing", .size = 2 * MiB, .zeros = 2 * MiB}));
      if (cold) {
        ASSERT_TRUE(make_cold(input_path(dir)));
        if (const std::string why = why_not_cold(input_path(dir)); !why.empty())
          GTEST_SKIP() << why;
      }
      const std::unique_ptr<platform::Input> input = platform::open_input(input_path(dir).c_str());
      ASSERT_TRUE(input);
      GrowingFile source(*input, input_path(dir), positioned);
      EXPECT_EQ(scan_for_nonzero(source), ScanResult::found)
          << (positioned ? "positioned" : "stream") << (cold ? ", cold" : "");
    }
  }
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

// A real file read through its descriptor, whose hole queries go through the
// fake seek.
class FakedHoles final : public ByteSource {
 public:
  FakedHoles(const std::string& path, bool positioned)
      : fd_(::open(path.c_str(), O_RDONLY)), positioned_(positioned) {}
  FakedHoles(const FakedHoles&) = delete;
  FakedHoles& operator=(const FakedHoles&) = delete;
  ~FakedHoles() override { ::close(fd_); }
  std::int64_t length() override {
    struct stat st {};
    return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
  }
  std::ptrdiff_t read(std::span<unsigned char> into) override {
    return ::read(fd_, into.data(), into.size());
  }
  DataExtent next_data(std::int64_t offset) override {
    return platform::next_data_with(fd_, offset, fake_seek);
  }
  bool seek(std::int64_t offset) override { return ::lseek(fd_, offset, SEEK_SET) == offset; }
  bool positioned() const override { return positioned_; }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    return ::pread(fd_, into.data(), into.size(), offset);
  }

 private:
  int fd_;
  bool positioned_;
};

struct Failure {
  const char* what;
  FakeSeek seek;
};

class FailingHoleQuery : public testing::TestWithParam<Failure> {
 protected:
  void TearDown() override { fake = {}; }
};

// The scan falls back to reading and keeps the answer.
TEST_P(FailingHoleQuery, ReadsInstead) {
  fake = GetParam().seek;
  for (const Layout& l : layouts()) {
    // A file written from end to end has no hole to ask about.
    if (l.preallocate == 0 && l.zeros >= l.size) continue;
    TempDir dir;
    ASSERT_NO_FATAL_FAILURE(make(input_path(dir), l));
    for (const bool positioned : {false, true}) {
      FakedHoles source(input_path(dir), positioned);
      EXPECT_EQ(scan_for_nonzero(source), l.expected)
          << l.what << (positioned ? ", positioned" : ", a stream");
    }
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
  ASSERT_NO_FATAL_FAILURE(make(input_path(dir), {.size = 4 * MiB, .nonzero = {MiB}}));
  const int fd = ::open(input_path(dir).c_str(), O_RDONLY);
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

// --- the largest lengths, through the seek seam ------------------------------

// The answers that hole queries have been seen to give, or might.
enum class Odd { truth, fails, no_data, minus_2_63, before_offset, past_length };

struct SeamCase {
  const char* what;
  Odd data = Odd::truth;  // SEEK_DATA's answer
  Odd hole = Odd::truth;  // SEEK_HOLE's answer
  // SEEK_DATA answers oddly only inside the stored bytes: answers that have
  // the scan read everything on would take forever from offset 0.
  bool data_odd_inside = false;
  bool move_fails = false;  // the scan's own move to an offset fails
};

off_t odd_answer(Odd odd, int whence, off_t offset, off_t truth) {
  switch (odd) {
    case Odd::truth:
      return truth;
    case Odd::fails:
      errno = whence == SEEK_DATA ? EINVAL : EIO;
      return -1;
    case Odd::no_data:
      errno = ENXIO;
      return -1;
    case Odd::minus_2_63:
      errno = 0;
      return INT64_MIN;
    case Odd::before_offset:
      errno = 0;
      return offset - 4096;
    case Odd::past_length:
      errno = 0;
      return INT64_MAX;
  }
  return truth;
}

class LargestLengths : public testing::TestWithParam<SeamCase> {};

// Stored bytes at the end of a sparse source 2^63 - 1 bytes long, or a page
// and a bit shorter, scanned through the run's buffer and a small one, as a
// stream by one reader and as a positioned source by two.
TEST_P(LargestLengths, AsIfRead) {
  const SeamCase c = GetParam();
  constexpr std::size_t stored = 40000;  // no multiple of either buffer
  for (const std::int64_t length : {max_offset, max_offset - 5000}) {
    for (const std::size_t nonzero_at : {stored, stored - 1, std::size_t{0}}) {
      // Answers that there is no data hide data before the last block.
      const bool hidden = nonzero_at == 0 && (c.data == Odd::no_data || c.data == Odd::past_length);
      if (hidden) continue;
      for (const std::size_t buffer_size : {std::size_t{4096}, std::size_t{1} << 20}) {
        // Positioned reads need no move.
        for (const std::size_t readers :
             {std::size_t{1}, c.move_fails ? std::size_t{1} : std::size_t{2}}) {
          SeamSource source;
          source.memory.bytes.assign(stored, 0);
          if (nonzero_at < stored) source.memory.bytes[nonzero_at] = 0x01;
          source.memory.hole = length - static_cast<std::int64_t>(stored);
          source.memory.positioned_reads = readers > 1;
          source.move_fails = c.move_fails;
          const std::int64_t inside = source.memory.hole + 1;
          source.answer = [&c, inside](int whence, off_t offset, off_t truth) {
            if (whence == SEEK_HOLE) return odd_answer(c.hole, whence, offset, truth);
            if (c.data_odd_inside && offset < inside) return truth;
            return odd_answer(c.data, whence, offset, truth);
          };
          std::vector<unsigned char> buffer(buffer_size);
          const ScanResult expected = c.move_fails          ? ScanResult::read_error
                                      : nonzero_at < stored ? ScanResult::found
                                                            : ScanResult::not_found;
          EXPECT_EQ(scan_for_nonzero(source, buffer, nullptr, readers), expected)
              << "length " << length << ", non-zero byte at " << nonzero_at
              << " of the stored bytes, buffer " << buffer_size << ", " << readers << " readers";
          EXPECT_LE(source.queries, SeamSource::most_queries) << "the scan went round in circles";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, LargestLengths,
    testing::Values(
        SeamCase{.what = "truthful answers"},
        // btrfs: a stretch that ends at 2^63 has its end answered as -2^63.
        SeamCase{.what = "hole query answers -2^63", .hole = Odd::minus_2_63},
        SeamCase{.what = "hole query fails", .hole = Odd::fails},
        SeamCase{.what = "hole query goes backwards", .hole = Odd::before_offset},
        SeamCase{.what = "hole query answers past the length", .hole = Odd::past_length},
        // tmpfs: no data, it says, over data in the last page.
        SeamCase{.what = "data query says no data", .data = Odd::no_data},
        // The scan cannot move to the last block to make sure of it.
        SeamCase{.what = "data query says no data, seek fails",
                 .data = Odd::no_data,
                 .move_fails = true},
        SeamCase{.what = "data query answers past the length", .data = Odd::past_length},
        SeamCase{.what = "data query fails inside the data",
                 .data = Odd::fails,
                 .hole = Odd::minus_2_63,
                 .data_odd_inside = true},
        SeamCase{.what = "data query answers -2^63 inside",
                 .data = Odd::minus_2_63,
                 .hole = Odd::minus_2_63,
                 .data_odd_inside = true},
        SeamCase{.what = "data query goes backwards",
                 .data = Odd::before_offset,
                 .hole = Odd::minus_2_63,
                 .data_odd_inside = true}),
    [](const testing::TestParamInfo<SeamCase>& c) { return test_name(c.param.what); });

// --- the largest lengths on real file systems --------------------------------

struct FileSystem {
  const char* what;  // the type, as mount takes it
  const char* mkfs;  // makes it in an image file; none for tmpfs
};

// Mounts a fresh file system of the kind on a temporary directory, through a
// loop device for the kinds that need an image; why_not says what stopped it.
class Mounted {
 public:
  explicit Mounted(const FileSystem& fs) {
    if (::geteuid() != 0) {
      // A tmpfs that is there already serves anyone: /dev/shm, on most systems.
      struct statfs shm {};
      if (fs.mkfs == nullptr && ::statfs("/dev/shm", &shm) == 0 && shm.f_type == TMPFS_MAGIC) {
        char made[] = "/dev/shm/content_check-XXXXXX";
        if (::mkdtemp(made) != nullptr) {
          point_ = made;
          return;
        }
      }
      why_not = fs.mkfs == nullptr ? "mounting needs root, and /dev/shm is no tmpfs to write to"
                                   : "mounting needs root";
      return;
    }
    if (fs.mkfs != nullptr &&
        std::system((std::string("command -v ") + fs.mkfs + " >/dev/null 2>&1").c_str()) != 0) {
      why_not = std::string(fs.mkfs) + " is not installed";
      return;
    }
    std::string source = "none";
    if (fs.mkfs != nullptr) {
      image_ = input_path(dir_) + ".img";
      // Large enough for every kind; the image stays sparse.
      const int fd = ::open(image_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const bool made = fd >= 0 && ::ftruncate(fd, 300 * MiB) == 0;
      if (fd >= 0) ::close(fd);
      if (!made) {
        why_not = "no image file";
        return;
      }
      if (std::system((std::string(fs.mkfs) + " -q " + image_ + " >/dev/null 2>&1").c_str()) != 0) {
        why_not = std::string(fs.mkfs) + " failed";
        return;
      }
      source = image_ + " -o loop";
    }
    point_ = input_path(dir_) + ".mnt";
    if (::mkdir(point_.c_str(), 0755) != 0) {
      why_not = "no mount point";
      return;
    }
    const std::string mount =
        std::string("mount -t ") + fs.what + " " + source + " " + point_ + " 2>/dev/null";
    if (std::system(mount.c_str()) != 0) {
      why_not = std::string("mount refused ") + fs.what + " here";
      return;
    }
    mounted_ = true;
  }
  ~Mounted() {
    if (mounted_) std::system(("umount " + point_).c_str());
    if (!point_.empty()) ::rmdir(point_.c_str());
    if (!image_.empty()) ::unlink(image_.c_str());
  }
  std::string file(const char* name) const { return point_ + "/" + name; }

  std::string why_not;

 private:
  TempDir dir_;
  std::string image_, point_;
  bool mounted_ = false;
};

class LargestLengthOn : public testing::TestWithParam<FileSystem> {};

// btrfs answers the end of a stretch that ends at 2^63 with -2^63; tmpfs
// answers that there is no data over data in the last page.
TEST_P(LargestLengthOn, AsIfRead) {
  Mounted fs(GetParam());
  if (!fs.why_not.empty()) GTEST_SKIP() << fs.why_not;
  constexpr std::int64_t largest = INT64_MAX;
  struct Case {
    const char* what;
    std::vector<std::pair<std::int64_t, char>> writes;
    ScanResult expected;
  };
  const Case cases[] = {
      {"the last byte non-zero", {{largest - 1, 1}}, ScanResult::found},
      {"zeros written at the end", {{largest - 1, 0}}, ScanResult::not_found},
      {"all hole", {}, ScanResult::not_found},
      {"a byte before the last page", {{largest - 4097, 1}}, ScanResult::found},
      {"a byte halfway", {{largest / 2, 1}}, ScanResult::found},
  };
  // btrfs gives its odd answer only once the data is on disk.
  for (const bool synced : {false, true}) {
    for (const Case& c : cases) {
      const std::string path = fs.file("largest");
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0) << path;
      ASSERT_EQ(::ftruncate(fd, largest), 0) << "no file of 2^63 - 1 bytes on " << GetParam().what;
      for (const auto& [at, byte] : c.writes) ASSERT_EQ(::pwrite(fd, &byte, 1, at), 1) << c.what;
      if (synced) {
        ASSERT_EQ(::fsync(fd), 0);
      }
      ::close(fd);
      EXPECT_EQ(scan_file(path), c.expected) << c.what << (synced ? ", synced" : ", not synced");
      ::unlink(path.c_str());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LargestLengthOn,
                         testing::Values(FileSystem{"btrfs", "mkfs.btrfs"},
                                         FileSystem{"tmpfs", nullptr},
                                         FileSystem{"xfs", "mkfs.xfs"}),
                         [](const testing::TestParamInfo<FileSystem>& f) {
                           return std::string(f.param.what);
                         });

}  // namespace
