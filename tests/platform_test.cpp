// The platform seam on each platform: the input reads the bytes as stored,
// and the scan's buffer is what it promises.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "console.h"
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

#ifndef _WIN32
// The locale that says how a name's upper bytes are shown: the first of
// LC_ALL, LC_CTYPE and LANG that is set and not empty, as the C library takes
// them; UTF-8 in any spelling, or the C locale, which says nothing of the
// terminal; one byte a character for any other character set.
TEST(StderrShowsUtf8, FollowsTheLocale) {
  struct Row {
    const char* lc_all;
    const char* lc_ctype;
    const char* lang;
    bool utf8;
  };
  const Row rows[] = {
      {nullptr, nullptr, nullptr, true},
      {nullptr, nullptr, "C", true},
      {nullptr, nullptr, "POSIX", true},
      {nullptr, nullptr, "en_US.UTF-8", true},
      {nullptr, nullptr, "de_DE.utf8@euro", true},
      {nullptr, nullptr, "C.UTF-8", true},
      {nullptr, nullptr, "en_US", false},
      {nullptr, nullptr, "en_US.ISO-8859-1", false},
      {nullptr, nullptr, "ja_JP.eucJP", false},
      {nullptr, "fr_FR.ISO-8859-15@euro", "en_US.UTF-8", false},
      {"en_US.UTF-8", "fr_FR.ISO-8859-15", "ru_RU.KOI8-R", true},
      {"", "ru_RU.KOI8-R", "en_US.UTF-8", false},
  };
  const char* const names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  std::optional<std::string> saved[3];
  for (int i = 0; i < 3; ++i)
    if (const char* value = std::getenv(names[i])) saved[i] = value;
  for (const Row& row : rows) {
    const char* const values[] = {row.lc_all, row.lc_ctype, row.lang};
    for (int i = 0; i < 3; ++i) {
      if (values[i] != nullptr)
        ::setenv(names[i], values[i], 1);
      else
        ::unsetenv(names[i]);
    }
    EXPECT_EQ(platform::stderr_shows_utf8(), row.utf8)
        << (row.lc_all ? row.lc_all : "-") << " " << (row.lc_ctype ? row.lc_ctype : "-") << " "
        << (row.lang ? row.lang : "-");
  }
  for (int i = 0; i < 3; ++i) {
    if (saved[i])
      ::setenv(names[i], saved[i]->c_str(), 1);
    else
      ::unsetenv(names[i]);
  }
}
#endif

}  // namespace
