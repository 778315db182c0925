#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "content_check.h"
#include "platform.h"

namespace {

// Sixteen or thirty-two bytes as one value, ORed in one instruction by the
// compilers we build with, without waiting on their loop vectoriser.
typedef std::uint64_t Lanes16 __attribute__((vector_size(16)));
typedef std::uint64_t Lanes32 __attribute__((vector_size(32)));

// ORs the bytes together, each read once, a page at a time so that a non-zero
// byte ends the check soon after it. Four running ORs keep the processor from
// waiting on each one. It is the program's own rather than memcmp because
// under Wine memcmp is msvcrt's, which is far slower than glibc's.
template <typename Lanes>
[[gnu::always_inline]] inline bool all_zero_in(std::span<const unsigned char> bytes) {
  constexpr std::size_t step = 4 * sizeof(Lanes);
  constexpr std::size_t page = 4096;
  const unsigned char* at = bytes.data();
  std::size_t left = bytes.size();
  while (left >= step) {
    const std::size_t chunk = std::min(page, left) / step * step;
    Lanes a{}, b{}, c{}, d{};
    for (std::size_t i = 0; i < chunk; i += step) {
      Lanes w, x, y, z;
      std::memcpy(&w, at + i, sizeof w);
      std::memcpy(&x, at + i + sizeof w, sizeof x);
      std::memcpy(&y, at + i + 2 * sizeof w, sizeof y);
      std::memcpy(&z, at + i + 3 * sizeof w, sizeof z);
      a |= w;
      b |= x;
      c |= y;
      d |= z;
    }
    a |= b | c | d;
    std::uint64_t any = 0;
    for (std::size_t k = 0; k < sizeof(Lanes) / sizeof any; ++k) any |= a[k];
    if (any != 0) return false;
    at += chunk;
    left -= chunk;
  }
  unsigned char rest = 0;
  for (std::size_t i = 0; i < left; ++i) rest |= at[i];
  return rest == 0;
}

#if defined(__x86_64__) || defined(__i386__)
// With AVX2, 32 bytes at a time: over cached data the check is a good part of
// each reader's time. AVX-512 made the scan no faster than this (the README's
// performance section has the figures).
[[gnu::target("avx2")]] bool all_zero_32(std::span<const unsigned char> bytes) {
  return all_zero_in<Lanes32>(bytes);
}
#endif

using ZeroCheck = bool (*)(std::span<const unsigned char>);

// The widest check that this processor runs and its system saves the
// registers of.
ZeroCheck widest_zero_check() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return all_zero_32;
#endif
  return all_zero_16;
}

// offset + n, held at the largest offset: a sparse file may be 2^63 - 1 bytes
// long, and a step past its end must not overflow.
std::int64_t advanced(std::int64_t offset, std::size_t n) {
  constexpr std::int64_t last = std::numeric_limits<std::int64_t>::max();
  return static_cast<std::uint64_t>(last - offset) <= n ? last
                                                        : offset + static_cast<std::int64_t>(n);
}

// Reads to the end of the data, for a source that has no length to go by.
ScanResult scan_to_end(ByteSource& input, std::span<unsigned char> buffer, ScanProgress* progress) {
  std::int64_t count = 0;
  for (bool any = false;; any = true) {
    const std::ptrdiff_t got = input.read(buffer);
    if (got < 0) return ScanResult::read_error;
    if (got == 0) return any ? ScanResult::not_found : ScanResult::empty;
    if (!all_zero(buffer.first(static_cast<std::size_t>(got)))) return ScanResult::found;
    count = advanced(count, static_cast<std::size_t>(got));
    if (progress != nullptr) progress->examined(count, -1);
  }
}

// The first read of a file, and the first bytes of the run's buffer, which are
// mapped in small pages: most files that hold data show it in their first
// bytes, and a short run should touch and copy no more than it needs. A first
// read of a whole block, into a huge page to fault and clear, was most of what
// a short run spent beyond a minimal program's time (see bench/run). The reads
// grow fourfold from there to the block.
constexpr std::size_t first_read = std::size_t{64} << 10;

// How much of a file's end is read although the file system says it holds no
// data there: tmpfs has said so over data in the last page below 2^63. The
// file's end must still be read once, and the smaller the read, the less a
// sparse file costs; this is the first read's size, in the same small pages.
constexpr std::size_t last_check = first_read;

// How often data that ends again at the same place is read on because the
// source changed in between: a writer that keeps cutting and growing the file
// must not hold the scan in place.
constexpr int most_changed_ends = 4;

// Readers beyond the caller's are started only for a file with this many
// blocks left to read after the first reads: a thread, with its stack and its
// block's first touch, costs about as much as reading a few blocks alone.
constexpr std::int64_t parallel_from_blocks = 8;

// The one-reader scan of a source of known length, from count on: the bytes
// before it are known to hold zeros, and the read position is at count.
ScanResult scan_to_length(ByteSource& input, std::span<unsigned char> buffer, std::int64_t length,
                          std::int64_t count, ScanProgress* progress) {
  const auto block = static_cast<std::int64_t>(buffer.size());
  bool ask_for_holes = true;
  std::int64_t stretch_end = 0;            // where the stretch known to hold data ends
  std::int64_t ended_at = -1;              // where the data last ended short of the length
  std::optional<ChangeStamp> ended_stamp;  // the source's change stamp then
  int changed_ends = 0;  // ends at that place since, each after the source changed
  for (;;) {
    if (count >= length) {
      length = input.length();  // it may have grown meanwhile
      if (count >= length) return ScanResult::not_found;
    }

    if (ask_for_holes && count >= stretch_end) {
      const DataExtent extent = input.next_data(count);
      if (extent.kind == DataExtent::unknown) {
        ask_for_holes = false;
      } else if (extent.kind == DataExtent::none || extent.start >= length) {
        // No data from here to the end, the file system says; but tmpfs has
        // answered so over data near 2^63. Before that becomes a verdict, the
        // end is read: one cheap read that catches it. A source that cannot
        // move there has failed.
        count = std::max(count, length - std::min<std::int64_t>(block, last_check));
        if (!input.seek(count)) return ScanResult::read_error;
        stretch_end = length;
      } else {
        // Every step moves forward: a hole is skipped, and a stretch whose end
        // is not known, or that a racing writer has already ended, is still
        // read for one block.
        count = extent.start;
        stretch_end = extent.end > count ? extent.end : advanced(count, buffer.size());
      }
    }

    // Never ask for more than the length promises, so that the count lands on
    // it exactly and a new measure decides whether the source has grown; nor,
    // near 2^63, for a read that would end past the largest offset.
    const std::int64_t limit = ask_for_holes ? std::min(length, stretch_end) : length;
    const auto want = static_cast<std::size_t>(std::min(block, limit - count));
    const std::ptrdiff_t got = input.read(buffer.first(want));
    if (got < 0) return ScanResult::read_error;
    if (got == 0) {
      // The data ended early. If the source has been cut short to where the
      // scan stands, it ended at its new length. If its length still promises
      // more, a writer may have cut it and grown it again between the read and
      // the measure: read on from here. Data that ends again at the same place
      // is a source that reports more than it delivers, and a byte that did
      // not come is no evidence either way: no answer, unless the source shows
      // it changed in between, which is read on a few times more.
      length = input.length();
      if (count >= length) return ScanResult::not_found;
      const std::optional<ChangeStamp> stamp = input.change_stamp();
      if (ended_at == count) {
        if (!stamp || !ended_stamp || *stamp == *ended_stamp || ++changed_ends > most_changed_ends)
          return ScanResult::read_error;
      } else {
        changed_ends = 0;
      }
      ended_at = count;
      ended_stamp = stamp;
      continue;
    }
    if (!all_zero(buffer.first(static_cast<std::size_t>(got)))) return ScanResult::found;
    count += got;
    if (progress != nullptr) progress->examined(count, length);
  }
}

// A positioned source read from a place of the scan's own, whatever the
// source's read position: how one reader goes on where several stopped.
class ReadFrom final : public ByteSource {
 public:
  ReadFrom(ByteSource& input, std::int64_t offset) : input_(input), offset_(offset) {}

  std::int64_t length() override { return input_.length(); }
  std::ptrdiff_t read(std::span<unsigned char> into) override {
    const std::ptrdiff_t got = input_.read_at(into, offset_);
    if (got > 0) offset_ += got;
    return got;
  }
  DataExtent next_data(std::int64_t offset) override {
    const DataExtent extent = input_.next_data(offset);
    if (extent.kind == DataExtent::data) offset_ = extent.start;
    return extent;
  }
  bool seek(std::int64_t offset) override {
    offset_ = offset;
    return offset >= 0;
  }
  std::optional<ChangeStamp> change_stamp() override { return input_.change_stamp(); }

 private:
  ByteSource& input_;
  std::int64_t offset_;
};

constexpr std::int64_t nowhere = std::numeric_limits<std::int64_t>::max();

void lower(std::atomic<std::int64_t>& value, std::int64_t to) {
  std::int64_t now = value.load();
  while (to < now && !value.compare_exchange_weak(now, to)) {
  }
}

// What the readers share while they confirm that a file of known length
// begins with zeros. They take stretches from the front in turn, so that all
// bytes before a stretch have been handed out; each notes where it met a
// non-zero byte, or anything else that is not plain zeros (a short read, an
// error, the file system's word that no data follows), and stops taking more.
// What the rules for such things say is left to the one-reader scan, which
// goes on from the first byte not confirmed.
class Prefix {
 public:
  struct Stretch {
    std::int64_t start = 0, end = 0;
  };

  Prefix(ByteSource& input, std::int64_t length) : input_(input), length_(length) {}

  // The next stretch to read, at most most bytes; an empty one when there is
  // nothing more to hand out.
  Stretch take(std::size_t most) {
    const std::lock_guard<std::mutex> locked(lock_);
    if (found_ != nowhere || stop_ != nowhere) return {};
    if (cursor_ >= length_) {
      lower(stop_, cursor_);
      return {};
    }
    // The hole queries are asked under the lock: sources need not answer
    // them from several threads at once.
    if (ask_for_holes_ && cursor_ >= stretch_end_) {
      const DataExtent extent = input_.next_data(cursor_);
      if (extent.kind == DataExtent::unknown || extent.start < cursor_) {
        ask_for_holes_ = false;
        stretch_end_ = length_;
      } else if (extent.kind == DataExtent::none || extent.start >= length_) {
        lower(stop_, cursor_);
        return {};
      } else {
        examined_ += extent.start - cursor_;
        cursor_ = extent.start;
        stretch_end_ = extent.end > cursor_ ? std::min(extent.end, length_)
                                            : std::min(length_, advanced(cursor_, most));
      }
    }
    const Stretch taken{cursor_, std::min(stretch_end_, advanced(cursor_, most))};
    cursor_ = taken.end;
    return taken;
  }

  // Reads one stretch into block, the progress told when there is one; false
  // when there was none to take.
  bool read_one(std::span<unsigned char> block, std::size_t most, ScanProgress* progress) {
    const Stretch stretch = take(most);
    if (stretch.start == stretch.end) return false;
    for (std::int64_t at = stretch.start; at < stretch.end;) {
      // Something met before here decides; these bytes no longer matter.
      if (found_ < at || stop_ < at) {
        lower(stop_, at);
        return false;
      }
      const auto want = static_cast<std::size_t>(
          std::min(static_cast<std::int64_t>(block.size()), stretch.end - at));
      const std::ptrdiff_t got = input_.read_at(block.first(want), at);
      if (got <= 0) {
        lower(stop_, at);
        return false;
      }
      if (!all_zero(block.first(static_cast<std::size_t>(got)))) {
        lower(found_, at);
        return false;
      }
      at += got;
      examined_ += got;
      if (progress != nullptr) progress->examined(examined_, length_);
    }
    return true;
  }

  // Nothing more is read, and what is in hand is dropped.
  void halt() { lower(stop_, -1); }

  std::int64_t left() {
    const std::lock_guard<std::mutex> locked(lock_);
    return length_ - cursor_;
  }

  // Once every reader is done: whether a non-zero byte came before anything
  // unusual, and if not, the first byte not confirmed to be zero.
  bool found() const { return found_ < stop_; }
  std::int64_t examined() const { return examined_; }
  std::int64_t confirmed() const { return std::min(stop_.load(), cursor_); }

 private:
  ByteSource& input_;
  const std::int64_t length_;                 // as measured when the scan began
  std::atomic<std::int64_t> found_{nowhere};  // the first read that held a non-zero byte
  std::atomic<std::int64_t> stop_{nowhere};   // where reading stopped short of plain zeros
  std::atomic<std::int64_t> examined_{0};     // bytes read as zeros or skipped as holes
  std::mutex lock_;
  // Under the lock: what has been handed out, and the stretch known to hold data.
  std::int64_t cursor_ = 0;
  std::int64_t stretch_end_ = 0;
  bool ask_for_holes_ = true;
};

// Several readers, each with its own block, confirm that the file begins with
// zeros; the caller's thread is one of them and the only one to tell the
// progress. The other threads start only once the first reads have found
// zeros and much is left; a thread that cannot be started means one reader
// fewer. None outlives the call.
ScanResult scan_in_parallel(ByteSource& input, std::span<unsigned char> buffer, std::int64_t length,
                            std::size_t readers, ScanProgress* progress) {
  readers = std::clamp<std::size_t>(std::min(readers, buffer.size()), 1, most_readers);
  const std::size_t block = buffer.size() / readers;
  const std::span<unsigned char> own = buffer.first(block);
  Prefix prefix(input, length);
  bool started = false;  // the helpers
  {
    std::array<std::jthread, most_readers - 1> helpers;
    // Should the progress throw, the helpers stop at their next read instead
    // of reading on to the end before they are joined.
    const struct Halt {
      Prefix& prefix;
      ~Halt() {
        if (std::uncaught_exceptions() > 0) prefix.halt();
      }
    } halt{prefix};
    std::size_t most = std::min(first_read, block);
    while (prefix.read_one(own, most, progress)) {
      most = std::min(most * 4, block);
      if (started || readers == 1 ||
          prefix.left() < parallel_from_blocks * static_cast<std::int64_t>(block))
        continue;
      started = true;
      for (std::size_t i = 1; i < readers; ++i) {
        try {
          helpers[i - 1] = std::jthread([&prefix, part = buffer.subspan(i * block, block)] {
            while (prefix.read_one(part, part.size(), nullptr)) {
            }
          });
        } catch (const std::exception&) {
          break;  // no memory or no thread to be had: fewer readers
        }
      }
    }
  }  // every helper joined
  if (prefix.found()) return ScanResult::found;
  // The helpers' last blocks, read after the caller's last report.
  if (progress != nullptr && started) progress->examined(prefix.examined(), length);
  const std::int64_t from = prefix.confirmed();
  ReadFrom rest(input, from);
  return scan_to_length(rest, own, length, from, progress);
}

}  // namespace

bool all_zero(std::span<const unsigned char> bytes) {
  static const ZeroCheck widest = widest_zero_check();
  return widest(bytes);
}

bool all_zero_16(std::span<const unsigned char> bytes) {
  return all_zero_in<Lanes16>(bytes);
}

ScanResult scan_for_nonzero(ByteSource& input, std::span<unsigned char> buffer,
                            ScanProgress* progress, std::size_t readers) {
  if (buffer.empty()) return ScanResult::read_error;
  const std::int64_t length = input.length();
  // A length of 0 is confirmed by one read: files in /proc and /sys report 0
  // and still deliver text. One that delivers bytes anyway is read to the end
  // of its data, as a pipe is.
  if (length <= 0) return scan_to_end(input, buffer, progress);
  if (!input.positioned()) return scan_to_length(input, buffer, length, 0, progress);
  return scan_in_parallel(input, buffer, length, readers, progress);
}

platform::ScanBuffer scan_buffer() {
  // A reader more than the processors when there are several (most_readers
  // says why); on one processor a second reader would only take turns with
  // the first.
  const std::size_t processors = platform::usable_processors();
  const std::size_t wanted = std::min(processors > 1 ? processors + 1 : 1, most_readers);
  for (std::size_t readers = wanted; readers > 0; --readers) {
    platform::ScanBuffer buffer(readers * scan_block, first_read);
    if (!buffer.bytes().empty()) return buffer;
  }
  // Short of memory: smaller blocks, down to a page.
  for (std::size_t size = scan_block / 2; size >= 4096; size /= 2) {
    platform::ScanBuffer buffer(size, std::min(size, first_read));
    if (!buffer.bytes().empty()) return buffer;
  }
  return {};
}

ScanResult scan_for_nonzero(ByteSource& input, const platform::ScanBuffer& buffer,
                            ScanProgress* progress) {
  const std::span<unsigned char> bytes = buffer.bytes();
  return scan_for_nonzero(input, bytes, progress,
                          std::max<std::size_t>(1, bytes.size() / scan_block));
}

ScanResult scan_for_nonzero(ByteSource& input, ScanProgress* progress) {
  return scan_for_nonzero(input, scan_buffer(), progress);
}
