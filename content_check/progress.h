// The progress of a long scan as one line of text, and when to draw it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "content_check.h"
#include "platform.h"

using Seconds = std::chrono::duration<double>;

// The line for a scan that has examined so many bytes in the time elapsed:
// the bytes, and when the length is known (above 0) the length and the
// percentage; the rate; and, when the length is known and the rate above 0,
// the time left. Sizes in B, KiB, MiB, GiB and up; times in s, min and h.
std::string progress_text(std::int64_t examined, std::int64_t length, Seconds elapsed);

// Draws the line for a scan in progress: nothing until the scan has run for
// a second, then again at most twice a second. The clock is read once each
// time the scan reports, which it does once per block.
class ProgressLine final : public ScanProgress {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = Clock::time_point (*)();

  static constexpr Clock::duration first_after = std::chrono::seconds(1);
  static constexpr Clock::duration redrawn_after = std::chrono::milliseconds(500);

  explicit ProgressLine(platform::StatusLine& line, Now now = Clock::now)
      : line_(line), now_(now), start_(now()), next_(start_ + first_after) {}

  void examined(std::int64_t bytes, std::int64_t length) override;

 private:
  platform::StatusLine& line_;
  Now now_;
  Clock::time_point start_;
  Clock::time_point next_;  // the earliest time of the next drawing
};
