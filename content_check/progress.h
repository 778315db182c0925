// The progress of a long scan as one line of text, when to draw it, and how
// to draw it on a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scan.h"
#include "terminal.h"

using Seconds = std::chrono::duration<double>;

// Text of a bounded size kept in place, so that drawing takes no memory from
// the heap. What would pass its capacity is left out.
class FixedText {
 public:
  static constexpr std::size_t capacity = 256;

  FixedText() = default;
  explicit FixedText(std::string_view text) { append(text); }

  FixedText& append(std::string_view text);
  FixedText& append(std::size_t count, char c);
  FixedText& append_number(std::int64_t number);

  std::size_t size() const { return size_; }
  std::string_view view() const { return {bytes_, size_}; }
  operator std::string_view() const { return view(); }

 private:
  char bytes_[capacity] = {};
  std::size_t size_ = 0;
};

// The line for a scan that has examined so many bytes in the time elapsed:
// the bytes, and when the length is known (above 0) the length and the
// percentage; the rate; and, when the length is known and the rate above 0,
// the time left. Sizes in B, KiB, MiB, GiB and up; times in s, min and h.
FixedText progress_text(std::int64_t examined, std::int64_t length, Seconds elapsed);

// The line for so few columns: whole fields are left out, never part of one,
// the time left first, then the rate, then the length and the percentage;
// empty when not even the bytes examined fit.
FixedText progress_text(std::int64_t examined, std::int64_t length, Seconds elapsed,
                        std::size_t columns);

// One line of text on a terminal, redrawn in place, and erased when it goes,
// so that the screen then holds only what was there before. The terminal's
// width is measured at each drawing, since it may change at any time; the
// text stops short of the last column, since a line that fills its row may
// wrap, and a carriage return then goes back to the second row only. Where
// the terminal takes escape sequences, the cursor is left at the line's first
// column after each drawing, and each drawing and the erasure clear its row
// and every row below: a terminal that narrows may re-flow the line onto
// several rows, which then all lie below the cursor. Elsewhere the line is
// drawn and erased with spaces. Nothing is drawn while the process may not
// draw there (in the background, or on a terminal not its own), nor ever
// again once the terminal has failed. A drawing that a paused terminal cannot
// take now is left out, and the line goes on; one cut short is covered by
// the next drawing or the erasure, which start from the row's first column
// and clear or cover all that a drawing may have left. The erasure waits for
// a paused terminal, as long as the terminal allows a write to wait.
class StatusLine {
 public:
  // The widest line drawn, whatever the terminal's width: room for any text.
  static constexpr std::size_t widest = 160;
  // The columns said to be shown are those an interruption overwrites, which
  // it can do for no more than erasure_room of them.
  static_assert(widest <= platform::erasure_room);
  // The width taken for a terminal that does not tell its own.
  static constexpr std::size_t assumed_columns = 80;

  explicit StatusLine(platform::Terminal& terminal) : terminal_(terminal) {}
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;
  ~StatusLine();

  // Replaces the line shown with the text, cut to fit.
  void show(std::string_view text);

  // Replaces the line shown with the text that text_for gives for the
  // columns there is room for, measured once.
  template <class TextFor>
  void show_fitted(TextFor text_for) {
    if (broken_ || !terminal_.in_foreground()) return;
    const std::size_t room = this->room();
    if (room > 0) draw(text_for(room), room);
  }

 private:
  std::size_t room() const;
  void draw(std::string_view text, std::size_t room);
  platform::Written put(std::string_view bytes, bool must_reach);

  platform::Terminal& terminal_;
  std::size_t covered_ = 0;  // the columns of the row that drawings may have written
  bool broken_ = false;      // a write failed: draw no more
};

// Draws the line for a scan in progress: nothing until the scan has run for
// a second, then again at most twice a second. The clock is read once each
// time the scan reports, which it does once per block.
class ProgressLine final : public ScanProgress {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = Clock::time_point (*)();

  static constexpr Clock::duration first_after = std::chrono::seconds(1);
  static constexpr Clock::duration redrawn_after = std::chrono::milliseconds(500);

  explicit ProgressLine(StatusLine& line, Now now = Clock::now)
      : line_(line), now_(now), start_(now()), next_(start_ + first_after) {}

  void examined(std::int64_t bytes, std::int64_t length) override;

 private:
  StatusLine& line_;
  Now now_;
  Clock::time_point start_;
  Clock::time_point next_;  // the earliest time of the next drawing
};
