// A fresh directory for one test's files, removed with everything in it when
// the test is done; and the working directory moved for a while.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

class TempDir {
 public:
  // Made under std::filesystem::temp_directory_path() ($TMPDIR where it is
  // set), open to its owner only. Throws when no directory can be made.
  explicit TempDir(std::string_view what = "test") {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path();
    // Making a directory fails on any entry already there, a planted link
    // included, so a name that is taken only moves on to the next. (mkdtemp
    // would do the same, but MinGW has none.)
    auto number = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    std::error_code error;
    for (int attempt = 0; attempt < 1000; ++attempt, ++number) {
      fs::path candidate =
          base / ("content_check-" + std::string(what) + "-" + std::to_string(number));
      if (fs::create_directory(candidate, error)) {
        fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace);
        path_ = std::move(candidate);
        return;
      }
      if (error && error != std::errc::file_exists) break;
    }
    throw fs::filesystem_error("cannot make a temporary directory", base, error);
  }

  ~TempDir() {
    make_removable(path_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  // Gives the owner back every right on the directory and the directories in
  // it, and the right to write to its files, so that one a test made
  // read-only goes too: Windows removes no file that is read-only.
  static void make_removable(const std::filesystem::path& dir) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, error);
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
      const fs::file_type type = it->symlink_status(error).type();
      if (type == fs::file_type::directory) make_removable(it->path());
      if (type == fs::file_type::regular)
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
    }
  }

  std::filesystem::path path_;
};

// The working directory moved to dir while it lives, and back when it goes:
// for what the program makes in the directory it runs in.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& dir)
      : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
  }

  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path previous_;
};

// A file's bytes, all of them; none when it cannot be read.
inline std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
