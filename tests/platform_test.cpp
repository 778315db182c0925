// The platform seam on each platform: the input reads the bytes as stored,
// and the scan's buffer is what it promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "input.h"
#include "machine.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Line ends and 0x1A come through untouched: no text-mode translation, and
// every byte counted in the length is delivered, also across small reads.
TEST(OpenInput, ReadsTheBytesAsStored) {
  const TempDir dir("bytes");
  const fs::path path = dir.path() / "input";
  const std::string stored("a\r\n\0\r\r\n\x1a\0b\n\x1a", 12);
  std::ofstream(path, std::ios::binary) << stored;
  {
    const std::unique_ptr<platform::Input> input = platform::open_input(path.string().c_str());
    ASSERT_TRUE(input);
    EXPECT_EQ(input->length(), static_cast<std::int64_t>(stored.size()));
    std::string read;
    unsigned char block[5];
    for (std::ptrdiff_t got; (got = input->read(block)) > 0;)
      read.append(reinterpret_cast<const char*>(block), static_cast<std::size_t>(got));
    EXPECT_EQ(read, stored);
  }
}

// Sizes below, at and above the unit the buffer may be mapped in, with a head
// of small pages or none, and one larger than the buffer.
TEST(ScanBuffer, IsPageAlignedAndWritableToItsEnd) {
  for (const std::size_t head : {std::size_t{0}, std::size_t{64} << 10, std::size_t{8} << 20}) {
    for (const std::size_t size :
         {std::size_t{1}, std::size_t{1} << 20, (std::size_t{3} << 20) + 1}) {
      const platform::ScanBuffer buffer(size, head);
      const std::span<unsigned char> bytes = buffer.bytes();
      ASSERT_EQ(bytes.size(), size);
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes.data()) % 4096, 0u) << size;
      std::fill(bytes.begin(), bytes.end(), 0xa5);
      EXPECT_EQ(static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), 0xa5)), size)
          << size << ", head " << head;
    }
  }
}

// An input that cannot be had says why in the system's words, as a line's
// reason: no closing period or line end.
TEST(OpenInput, SaysWhyItCannotBeHad) {
  const TempDir dir("why");
  fs::create_directory(dir.path() / "adir");
  struct Row {
    fs::path name;
    std::string_view on_linux;
  };
  const Row rows[] = {{.name = dir.path() / "missing", .on_linux = "No such file or directory"},
                      {.name = dir.path() / "adir", .on_linux = "Is a directory"},
                      {.name = "", .on_linux = "No such file or directory"}};
  for (const Row& row : rows) {
    platform::Failure why;
    EXPECT_FALSE(platform::open_input(row.name.string().c_str(), &why)) << row.name;
    char words[256];
    const std::string_view said = platform::describe(why, words);
#ifdef _WIN32
    ASSERT_FALSE(said.empty()) << row.name;
    EXPECT_EQ(std::string_view(". \r\n").find(said.back()), std::string_view::npos) << said;
#else
    EXPECT_EQ(said, row.on_linux) << row.name;
#endif
  }
}

}  // namespace
