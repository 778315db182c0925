// A sparse source in memory whose hole queries go through next_data_with, the
// platform's own code, with the seek calls answered by a fake: the truth about
// where the bytes lie, or an odd answer of the kinds file systems give. Lengths
// up to 2^63 - 1 cost nothing, so the offsets near the end can be tried.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>

#include "input_linux.h"
#include "memory_source.h"

// Given a SEEK_DATA or SEEK_HOLE query, and its true answer (-1 with errno
// ENXIO when there is none), gives the answer instead, setting errno for -1.
using SeekAnswer = std::function<off_t(int whence, off_t offset, off_t truth)>;

// What lseek would answer on a file system that stores exactly the bytes: the
// hole before them and the end of the file read as holes.
inline off_t true_seek_answer(const MemorySource& m, off_t offset, int whence) {
  const std::int64_t length = m.current_length();
  const std::int64_t stored_end = std::min(m.stored_end(), length);
  if (offset >= length) return -1;
  if (whence == SEEK_DATA) {
    const std::int64_t start = std::max(offset, m.hole);
    return start < stored_end ? start : -1;
  }
  return offset < m.hole || offset >= stored_end ? offset : stored_end;
}

struct SeamSource;
inline SeamSource* seam_in_use = nullptr;
inline off_t seam_seek(int fd, off_t offset, int whence);

struct SeamSource final : ByteSource {
  // Past this many queries a scan is taken to go round in circles: the data
  // query fails from then on, so that it ends and the test can say so.
  static constexpr int most_queries = 10000;

  MemorySource memory;
  SeekAnswer answer;        // none: the truth
  bool move_fails = false;  // the scan's own moves fail, as lseek may
  int queries = 0;

  std::int64_t length() override { return memory.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override { return memory.read(into); }
  bool positioned() const override { return memory.positioned(); }
  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    return memory.read_at(into, offset);
  }
  bool seek(std::int64_t offset) override {
    if (move_fails) return false;
    return seam_seek(-1, offset, SEEK_SET) == offset;
  }
  DataExtent next_data(std::int64_t offset) override {
    seam_in_use = this;
    return platform::next_data_with(-1, offset, seam_seek);
  }
};

inline off_t seam_seek(int, off_t offset, int whence) {
  MemorySource& m = seam_in_use->memory;
  if (whence == SEEK_SET) {
    if (offset < 0) {
      errno = EINVAL;
      return -1;
    }
    m.position = offset;
    return offset;
  }
  if (whence == SEEK_DATA && ++seam_in_use->queries > SeamSource::most_queries) {
    errno = EINVAL;
    return -1;
  }
  const off_t truth = true_seek_answer(m, offset, whence);
  errno = truth == -1 ? ENXIO : 0;
  const off_t given = seam_in_use->answer ? seam_in_use->answer(whence, offset, truth) : truth;
  if (given >= 0) m.position = given;  // the queries move the position too
  return given;
}
