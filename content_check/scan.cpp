// The scan: whether a source holds a byte that is not zero, read by one
// reader or several from one walk over the source.
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

#include "scan.h"

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
// each reader's time.
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

constexpr std::int64_t nowhere = std::numeric_limits<std::int64_t>::max();

// Sets value to `to` when that is lower, whatever other threads do meanwhile.
void keep_lowest(std::atomic<std::int64_t>& value, std::int64_t to) {
  std::int64_t now = value.load();
  while (to < now && !value.compare_exchange_weak(now, to)) {
  }
}

// A part of the source to read: the bytes from start up to end.
struct Stretch {
  std::int64_t start = 0, end = 0;
};

// The walk over a source: the one place that says where the bytes to read
// lie, and what the source's length, its holes and the ends of its data mean
// for the answer. Readers take stretches from it in turn, so that all bytes
// before a stretch have been handed out, and read them.
//
// While several readers share it, anything met that is not plain zeros (the
// data's end, a failing read) only stops the handing out: the bytes before it
// may not all have been read. The caller's reader then walks on alone from
// the first byte not confirmed to be zero, where the rules apply.
class Walk {
 public:
  // A length of -1: the source is read to the end of its data. A streamed
  // source is read from its read position, which the walk keeps at its own.
  Walk(ByteSource& input, std::int64_t length, std::size_t block, bool streamed)
      : input_(input), block_(block), streamed_(streamed), length_(length) {}

  // Reads the next stretch, at most `most` bytes, into block, in reads of at
  // most block.size() bytes, the progress told when there is one; false when
  // nothing more is to be read.
  bool read_stretch(std::span<unsigned char> block, std::size_t most, ScanProgress* progress) {
    const Stretch stretch = next(most);
    if (stretch.start >= stretch.end) return false;
    for (std::int64_t at = stretch.start; at < stretch.end;) {
      // Something met before here decides; these bytes no longer matter.
      if (found_ < at || stop_ < at) {
        keep_lowest(stop_, at);
        return false;
      }
      const auto want = static_cast<std::size_t>(
          std::min(static_cast<std::int64_t>(block.size()), stretch.end - at));
      const std::ptrdiff_t got =
          streamed_ ? input_.read(block.first(want)) : input_.read_at(block.first(want), at);
      if (got <= 0) {
        ended(at, got < 0);
        return true;  // the walk says whether there is more
      }
      if (!all_zero(block.first(static_cast<std::size_t>(got)))) {
        keep_lowest(found_, at);
        return false;
      }
      at += got;
      examined_ += got;
      if (progress != nullptr) tell(*progress);
    }
    return true;
  }

  // Readers beside the caller's are about to share the walk.
  void share() {
    const std::lock_guard<std::mutex> locked(lock_);
    alone_ = false;
  }

  // Nothing more is read, and what is in hand is dropped.
  void halt() { keep_lowest(stop_, -1); }

  std::int64_t left() {
    const std::lock_guard<std::mutex> locked(lock_);
    return length_ - cursor_;
  }

  // Once the readers that shared the walk are done: the caller's reader walks
  // on alone from the first byte not confirmed to be zero. False when a
  // non-zero byte or the length came first.
  bool go_on_alone(ScanProgress* progress) {
    if (found_ < stop_) return false;
    // The helpers' last blocks, read after the caller's last report.
    if (progress != nullptr) tell(*progress);
    alone_ = true;
    if (stop_ == nowhere) return false;
    cursor_ = std::min(cursor_, stop_.load());
    // What readers met past the first byte not confirmed no longer decides.
    stop_ = nowhere;
    found_ = nowhere;
    // From here the count is where the walk stands, as it is for one reader.
    examined_ = cursor_;
    return true;
  }

  ScanResult answer() const {
    if (found_ < stop_) return ScanResult::found;
    return answer_.value_or(ScanResult::not_found);
  }

 private:
  // The next stretch to hand out, at most `most` bytes from where the walk
  // stands; an empty one when nothing more is to be read.
  Stretch next(std::size_t most) {
    const std::lock_guard<std::mutex> locked(lock_);
    if (answer_ || found_ != nowhere || stop_ != nowhere) return {};
    if (length_ < 0) {
      const Stretch stretch{cursor_, advanced(cursor_, most)};
      cursor_ = stretch.end;
      return stretch;
    }
    if (cursor_ >= length_) {
      length_ = input_.length();  // it may have grown meanwhile
      if (cursor_ >= length_) return {};
    }
    // The hole queries are asked under the lock: sources need not answer
    // them from several threads at once.
    if (ask_for_holes_ && cursor_ >= stretch_end_) {
      const DataExtent extent = input_.next_data(cursor_);
      if (extent.kind == DataExtent::unknown || extent.start < cursor_) {
        // Read everything from here on, from here.
        ask_for_holes_ = false;
        if (extent.kind != DataExtent::unknown && streamed_ && !input_.seek(cursor_)) return fail();
      } else if (extent.kind == DataExtent::none || extent.start >= length_) {
        // No data from here to the end, the file system says; but tmpfs has
        // answered so over data near 2^63. Before that becomes a verdict, the
        // end is read: one cheap read that catches it. A source that cannot
        // move there has failed.
        skip_to(
            std::max(cursor_, length_ - static_cast<std::int64_t>(std::min(block_, last_check))));
        if (streamed_ && !input_.seek(cursor_)) return fail();
        stretch_end_ = length_;
      } else {
        // Every step moves forward: a hole is skipped, and a stretch whose end
        // is not known, or that a racing writer has already ended, is still
        // read for one reading's worth.
        skip_to(extent.start);
        stretch_end_ = extent.end > cursor_ ? extent.end : advanced(cursor_, most);
      }
    }
    // Never more than the length promises, so that the walk lands on it
    // exactly and a new measure decides whether the source has grown; nor,
    // near 2^63, a read that would end past the largest offset.
    const std::int64_t limit =
        ask_for_holes_ ? std::min(length_.load(), stretch_end_) : length_.load();
    const Stretch stretch{cursor_, std::min(limit, advanced(cursor_, most))};
    cursor_ = stretch.end;
    return stretch;
  }

  // The data ended at `at`, or a read there failed.
  void ended(std::int64_t at, bool failed) {
    const std::lock_guard<std::mutex> locked(lock_);
    if (!alone_) {
      keep_lowest(stop_, at);
      return;
    }
    if (failed) {
      answer_ = ScanResult::read_error;
      return;
    }
    if (length_ < 0) {
      answer_ = at == 0 ? ScanResult::empty : ScanResult::not_found;
      return;
    }
    // If the source has been cut short to where the walk stands, it ended at
    // its new length. If its length still promises more, a writer may have
    // cut it and grown it again between the read and the measure: read on
    // from here. Data that ends again at the same place is a source that
    // reports more than it delivers, and a byte that did not come is no
    // evidence either way: no answer, unless the source shows it changed in
    // between, which is read on a few times more.
    cursor_ = at;
    length_ = input_.length();
    if (at >= length_) {
      answer_ = ScanResult::not_found;
      return;
    }
    const std::optional<ChangeStamp> stamp = input_.change_stamp();
    if (ended_at_ == at) {
      if (!stamp || !ended_stamp_ || *stamp == *ended_stamp_ ||
          ++changed_ends_ > most_changed_ends) {
        answer_ = ScanResult::read_error;
        return;
      }
    } else {
      changed_ends_ = 0;
    }
    ended_at_ = at;
    ended_stamp_ = stamp;
  }

  // Under the lock: past a hole, which counts as examined.
  void skip_to(std::int64_t to) {
    examined_ += to - cursor_;
    cursor_ = to;
  }

  Stretch fail() {
    answer_ = ScanResult::read_error;
    return {};
  }

  // The count never steps back, also where the caller's reader goes on alone
  // from before bytes that others read.
  void tell(ScanProgress& progress) {
    told_ = std::max(told_, examined_.load());
    progress.examined(told_, length_.load());
  }

  ByteSource& input_;
  const std::size_t block_;
  const bool streamed_;
  std::atomic<std::int64_t> found_{nowhere};  // the first read that held a non-zero byte
  std::atomic<std::int64_t> stop_{nowhere};   // where shared reading met anything else
  std::atomic<std::int64_t> examined_{0};     // bytes read as zeros or skipped as holes
  std::int64_t told_ = 0;                     // the caller's thread's
  std::mutex lock_;
  // Under the lock:
  std::atomic<std::int64_t> length_;  // as last measured; read unlocked for the progress
  std::int64_t cursor_ = 0;           // what has been handed out
  std::int64_t stretch_end_ = 0;      // where the stretch known to hold data ends
  bool ask_for_holes_ = true;
  bool alone_ = true;
  std::optional<ScanResult> answer_;
  std::int64_t ended_at_ = -1;              // where the data last ended short of the length
  std::optional<ChangeStamp> ended_stamp_;  // the source's change stamp then
  int changed_ends_ = 0;  // ends at that place since, each after the source changed
};

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
  const bool positioned = length > 0 && input.positioned();
  readers =
      positioned ? std::clamp<std::size_t>(std::min(readers, buffer.size()), 1, most_readers) : 1;
  const std::size_t block = buffer.size() / readers;
  const std::span<unsigned char> own = buffer.first(block);
  Walk walk(input, length > 0 ? length : -1, block, !positioned);
  // The caller's reader; the others start only once the first reads have
  // found zeros and much is left. A thread that cannot be started means one
  // reader fewer. None outlives the call.
  bool shared = false;
  {
    std::array<std::jthread, most_readers - 1> helpers;
    // Should the progress throw, the helpers stop at their next read instead
    // of reading on to the end before they are joined.
    const struct Halt {
      Walk& walk;
      ~Halt() {
        if (std::uncaught_exceptions() > 0) walk.halt();
      }
    } halt{walk};
    std::size_t most = std::min(first_read, block);
    while (walk.read_stretch(own, most, progress)) {
      most = std::min(most * 4, block);
      if (shared || readers == 1 ||
          walk.left() < parallel_from_blocks * static_cast<std::int64_t>(block))
        continue;
      shared = true;
      walk.share();
      for (std::size_t i = 1; i < readers; ++i) {
        try {
          helpers[i - 1] = std::jthread([&walk, part = buffer.subspan(i * block, block)] {
            while (walk.read_stretch(part, part.size(), nullptr)) {
            }
          });
        } catch (const std::exception&) {
          break;  // no memory or no thread to be had: fewer readers
        }
      }
    }
  }  // every helper joined
  if (shared && walk.go_on_alone(progress)) {
    while (walk.read_stretch(own, block, progress)) {
    }
  }
  return walk.answer();
}
