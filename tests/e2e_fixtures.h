// The entries that an end-to-end row lays out in the directory where the
// program runs, the other ends of its FIFOs while it runs, and what the
// directory holds afterwards.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "temp_dir.h"

struct Fixture {
  enum Kind {
    file,
    sparse,
    directory,
    shared_directory,
    symbolic_link,
    hardlink,
    fifo,
    reader,
    idle_fifo
  };
  Kind kind = file;
  std::string name{};
  std::string bytes{};    // file, fifo: the content; symlink, hardlink: the target
  std::int64_t size = 0;  // sparse: the length, all hole
  std::vector<std::pair<std::int64_t, char>> writes{};  // sparse: bytes put into the hole
  bool leaves = false;  // reader: goes once the program has opened the FIFO for writing
  bool nobody = false;  // owned by the user nobody instead of the caller (needs root)
  // file: mode 0444, which stops every user but root from writing it; under
  // Wine the read-only attribute.
  bool read_only = false;
  bool cold = false;  // file: out of the page cache when the run starts
};

inline Fixture file(std::string name, std::string bytes) {
  return {.kind = Fixture::file, .name = std::move(name), .bytes = std::move(bytes)};
}
inline Fixture sparse(std::string name, std::int64_t size,
                      std::vector<std::pair<std::int64_t, char>> writes = {}) {
  return {
      .kind = Fixture::sparse, .name = std::move(name), .size = size, .writes = std::move(writes)};
}
inline Fixture hardlink_to(std::string name, std::string target) {
  return {.kind = Fixture::hardlink, .name = std::move(name), .bytes = std::move(target)};
}
// A FIFO that the test feeds with the bytes once the program opens it.
inline Fixture fifo(std::string name, std::string bytes) {
  return {.kind = Fixture::fifo, .name = std::move(name), .bytes = std::move(bytes)};
}
inline Fixture directory(std::string name) {
  return {.kind = Fixture::directory, .name = std::move(name)};
}
// A directory that anyone may write to and whose entries only their owners may
// remove, as /tmp is.
inline Fixture shared_directory(std::string name) {
  return {.kind = Fixture::shared_directory, .name = std::move(name)};
}
inline Fixture symlink_to(std::string name, std::string target) {
  return {.kind = Fixture::symbolic_link, .name = std::move(name), .bytes = std::move(target)};
}
// A FIFO that the test holds open for reading before the program starts and
// drains. One that leaves closes it as soon as the program has it open for
// writing, and only then do the FIFOs that the test feeds deliver their bytes.
inline Fixture reader(std::string name, bool leaves = false) {
  return {.kind = Fixture::reader, .name = std::move(name), .leaves = leaves};
}
// A FIFO that nobody opens.
inline Fixture idle_fifo(std::string name) {
  return {.kind = Fixture::idle_fifo, .name = std::move(name)};
}
inline Fixture owned_by_nobody(Fixture f) {
  f.nobody = true;
  return f;
}
inline Fixture read_only(Fixture f) {
  f.read_only = true;
  return f;
}

// A file written out and dropped from the page cache before the run, as one is
// that nobody has read for a while.
inline Fixture made_cold(Fixture f) {
  f.cold = true;
  return f;
}

inline uid_t nobody_uid() {
  const passwd* pw = ::getpwnam("nobody");
  return pw != nullptr ? pw->pw_uid : 65534;
}

inline void make(const std::filesystem::path& dir, const Fixture& f) {
  const std::filesystem::path path = dir / f.name;
  switch (f.kind) {
    case Fixture::file: {
      std::ofstream out(path, std::ios::binary);
      out.write(f.bytes.data(), static_cast<std::streamsize>(f.bytes.size()));
      out.close();
      ASSERT_FALSE(out.fail()) << path;
      break;
    }
    case Fixture::sparse: {
      std::ofstream(path, std::ios::binary).close();
      std::filesystem::resize_file(path, static_cast<std::uintmax_t>(f.size));
      std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
      for (const auto& [offset, byte] : f.writes) out.seekp(offset).put(byte);
      out.close();
      ASSERT_FALSE(out.fail()) << path;
      break;
    }
    case Fixture::directory:
      std::filesystem::create_directory(path);
      break;
    case Fixture::shared_directory:
      std::filesystem::create_directory(path);
      std::filesystem::permissions(path,
                                   std::filesystem::perms::all | std::filesystem::perms::sticky_bit,
                                   std::filesystem::perm_options::replace);
      break;
    case Fixture::symbolic_link:
      std::filesystem::create_symlink(f.bytes, path);
      break;
    case Fixture::hardlink:
      std::filesystem::create_hard_link(dir / f.bytes, path);
      break;
    case Fixture::fifo:
    case Fixture::reader:
    case Fixture::idle_fifo:
      ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0) << path;
      break;
  }
  if (f.nobody) {
    ASSERT_EQ(::lchown(path.c_str(), nobody_uid(), static_cast<gid_t>(-1)), 0) << path;
  }
  if (f.read_only) {
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0) << path;
  }
}

// Writes the bytes into the FIFO once a reader has it open and the readers
// that leave have gone; gives up after a while, so that a program that never
// opens it cannot hang the test.
inline void feed(const std::filesystem::path& path, const std::string& bytes,
                 std::shared_future<void> readers_gone) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // Wine may open a FIFO and close it again just before its real open: a
  // reader that leaves before the last byte may be followed at once by
  // another, which is given every byte from the first. A program that stops
  // reading early has none following it.
  for (bool done = false; !done;) {
    int fd = -1;
    while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
      if (errno != ENXIO || std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    readers_gone.wait_until(deadline);
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    done = written == bytes.size() || errno != EPIPE;
    ::close(fd);
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  }
}

// Reads the FIFO open at fd, without blocking, until the program has ended,
// or, when it leaves, until a writer has it open; then closes it and says so.
inline void drain(int fd, bool leaves, std::promise<void> gone, const std::atomic<bool>& ended) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ended && std::chrono::steady_clock::now() < deadline) {
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) continue;
    // A FIFO without a writer reads as its end; with one, as not ready yet.
    if (leaves && n < 0 && errno == EAGAIN) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::close(fd);
  gone.set_value();
}

// The other ends of a row's FIFOs while the program runs: readers that hold
// theirs open from before it starts, and feeders that deliver into theirs once
// the reader that leaves, if any, has gone. They stop once the run has ended.
class FifoEnds {
 public:
  FifoEnds() = default;
  FifoEnds(const FifoEnds&) = delete;
  FifoEnds& operator=(const FifoEnds&) = delete;
  ~FifoEnds() { stop(); }

  void start(const std::filesystem::path& dir, const std::vector<Fixture>& fixtures) {
    std::promise<void> no_reader_leaves;
    no_reader_leaves.set_value();
    std::shared_future<void> readers_gone = no_reader_leaves.get_future().share();
    for (const Fixture& f : fixtures) {
      if (f.kind != Fixture::reader) continue;
      const int fd = ::open((dir / f.name).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
      ASSERT_GE(fd, 0) << f.name;
      std::promise<void> gone;
      if (f.leaves) readers_gone = gone.get_future().share();
      threads_.emplace_back(drain, fd, f.leaves, std::move(gone), std::cref(ended_));
    }
    for (const Fixture& f : fixtures)
      if (f.kind == Fixture::fifo) threads_.emplace_back(feed, dir / f.name, f.bytes, readers_gone);
  }

  void stop() {
    ended_ = true;
    for (std::thread& t : threads_)
      if (t.joinable()) t.join();
  }

 private:
  std::atomic<bool> ended_ = false;
  std::vector<std::thread> threads_;
};

// What a directory holds, entry by entry: type, mode, owner, size and, for
// files up to 1 MiB, their bytes (shown when short, hashed otherwise); larger
// files by modification time.
using Snapshot = std::map<std::string, std::string>;

inline Snapshot snapshot(const std::filesystem::path& dir) {
  Snapshot s;
  for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(dir)) {
    const std::filesystem::path& path = entry.path();
    // The owner and the time to the nanosecond are beyond std::filesystem.
    struct stat st {};
    ::lstat(path.c_str(), &st);
    std::ostringstream what;
    what << "mode " << std::oct << st.st_mode << std::dec << " owner " << st.st_uid << " size "
         << st.st_size;
    if (S_ISREG(st.st_mode)) {
      if (st.st_size <= 64)
        what << " bytes " << testing::PrintToString(read_all(path));
      else if (st.st_size <= (1 << 20))
        what << " hash " << std::hash<std::string>{}(read_all(path));
      else
        what << " mtime " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
    } else if (S_ISLNK(st.st_mode)) {
      what << " -> " << std::filesystem::read_symlink(path).string();
    }
    s[path.filename().string()] = what.str();
  }
  return s;
}
