// The progress line: its text in whole fields, when it is drawn, and how it is
// drawn and erased on a terminal.
#include "progress.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace {

// To the nearest whole number, halves away from zero, and up to the next
// whole number; every number here is at least 0. Written out instead of taken
// from <cmath>: llround and ceil were all that made the program load libm at
// start-up, and loading a library is a good part of a short run.
long long rounded(double x) {
  return static_cast<long long>(x + 0.5);
}
long long rounded_up(double x) {
  const auto whole = static_cast<long long>(x);
  return static_cast<double>(whole) < x ? whole + 1 : whole;
}

// Whole bytes below 1 KiB, otherwise one decimal in the largest unit that
// keeps it below 1024.0 once rounded.
void append_size(FixedText& text, double bytes) {
  static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  // Compared before rounding: 2^63 bytes, as a double, has no long long.
  if (bytes < 1023.5) {
    text.append_number(rounded(std::max(bytes, 0.0))).append(" B");
    return;
  }
  std::size_t unit = 0;
  double value = bytes / 1024;
  long long tenths = rounded(value * 10);
  while (tenths >= 10240 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
    tenths = rounded(value * 10);
  }
  text.append_number(tenths / 10).append(".").append_number(tenths % 10).append(" ");
  text.append(units[unit]);
}

// Rounded up to the second: a scan with a fraction of a second left is not done.
void append_duration(FixedText& text, double seconds) {
  // Beyond about 30,000 years an estimate says nothing more; the clamp keeps
  // the conversion defined.
  const auto s = rounded_up(std::clamp(seconds, 0.0, 1e12));
  if (s < 60)
    text.append_number(s).append(" s");
  else if (s < 3600)
    text.append_number(s / 60).append(" min ").append_number(s % 60).append(" s");
  else
    text.append_number(s / 3600).append(" h ").append_number(s % 3600 / 60).append(" min");
}

// Rounded down, so that 100% means all of it.
std::int64_t percent(std::int64_t examined, std::int64_t length) {
  examined = std::clamp<std::int64_t>(examined, 0, length);
  // examined * 100 would overflow near 2^63; a hundredth of such a length is
  // exact enough, except that it may say 100 a few bytes short.
  const std::int64_t p = length <= std::numeric_limits<std::int64_t>::max() / 100
                             ? examined * 100 / length
                             : examined / (length / 100);
  return examined < length ? std::min<std::int64_t>(p, 99) : 100;
}

// The fields that the line is made of, each to be left out or not.
struct Fields {
  bool length = true;     // " of LENGTH examined (PERCENT%)" in place of " examined"
  bool rate = true;       // ", RATE/s"
  bool time_left = true;  // ", TIME left"
};

FixedText fields_text(std::int64_t examined, std::int64_t length, Seconds elapsed, Fields fields) {
  FixedText text;
  append_size(text, static_cast<double>(examined));
  if (length > 0 && fields.length) {
    text.append(" of ");
    append_size(text, static_cast<double>(length));
    text.append(" examined (").append_number(percent(examined, length)).append("%)");
  } else {
    text.append(" examined");
  }
  if (elapsed.count() <= 0 || !fields.rate) return text;
  const double rate = static_cast<double>(std::max<std::int64_t>(examined, 0)) / elapsed.count();
  text.append(", ");
  append_size(text, rate);
  text.append("/s");
  if (length > 0 && rate > 0 && fields.time_left) {
    text.append(", ");
    append_duration(text, static_cast<double>(std::max<std::int64_t>(length - examined, 0)) / rate);
    text.append(" left");
  }
  return text;
}

}  // namespace

FixedText progress_text(std::int64_t examined, std::int64_t length, Seconds elapsed) {
  return fields_text(examined, length, elapsed, {});
}

FixedText& FixedText::append(std::string_view text) {
  const std::size_t taken = std::min(text.size(), capacity - size_);
  std::copy_n(text.data(), taken, bytes_ + size_);
  size_ += taken;
  return *this;
}

FixedText& FixedText::append(std::size_t count, char c) {
  const std::size_t taken = std::min(count, capacity - size_);
  std::fill_n(bytes_ + size_, taken, c);
  size_ += taken;
  return *this;
}

FixedText& FixedText::append_number(std::int64_t number) {
  char digits[24];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), number).ptr;
  return append({digits, static_cast<std::size_t>(end - digits)});
}

FixedText progress_text(std::int64_t examined, std::int64_t length, Seconds elapsed,
                        std::size_t columns) {
  // The time left goes first, then the rate, then the length and percentage.
  for (const Fields fields :
       {Fields{}, Fields{.time_left = false}, Fields{.rate = false, .time_left = false},
        Fields{.length = false, .rate = false, .time_left = false}}) {
    const FixedText text = fields_text(examined, length, elapsed, fields);
    if (text.size() <= columns) return text;
  }
  return {};
}

void ProgressLine::examined(std::int64_t bytes, std::int64_t length) {
  const Clock::time_point now = now_();
  if (now < next_) return;
  line_.show_fitted(
      [&](std::size_t columns) { return progress_text(bytes, length, now - start_, columns); });
  next_ = now + redrawn_after;
}

std::size_t StatusLine::room() const {
  const std::size_t columns = terminal_.columns();
  return std::min(columns > 0 ? columns : assumed_columns, widest + 1) - 1;
}

platform::Written StatusLine::put(std::string_view bytes, bool must_reach) {
  const platform::Written written = terminal_.write(bytes, must_reach);
  if (written == platform::Written::failed) {
    broken_ = true;
    terminal_.shown(0);
  }
  return written;
}

void StatusLine::show(std::string_view text) {
  // A row of one column has no room short of its last one.
  show_fitted([text](std::size_t) { return text; });
}

void StatusLine::draw(std::string_view text, std::size_t room) {
  text = text.substr(0, std::min(text.size(), room));
  FixedText bytes;
  std::size_t covered = text.size();
  if (terminal_.takes_escapes()) {
    bytes.append(platform::clear_row_and_below).append(text).append("\r");
  } else {
    // Spaces over what is left of a longer line drawn before, as far as the
    // row now reaches: a terminal that narrowed has cut the rest.
    covered = std::max(text.size(), std::min(covered_, room));
    bytes.append("\r").append(text).append(covered - text.size(), ' ');
  }
  // Said before the write, so that an interruption during it erases it. The
  // whole row is erased, short of its last column, so that the terminal's
  // echo of a Ctrl-C typed after the line goes with it.
  const std::size_t covered_before = covered_;
  covered_ = covered;
  terminal_.shown(room);
  // A drawing that the terminal took none of has left the row as it was.
  if (put(bytes, false) == platform::Written::none) {
    covered_ = covered_before;
    if (covered_before == 0) terminal_.shown(0);
  }
}

StatusLine::~StatusLine() {
  // In the background the line is left alone: the shell may have written
  // below it since, and a terminal set to stop background jobs that write
  // would stop the run there.
  if (covered_ > 0 && !broken_ && terminal_.in_foreground()) {
    if (terminal_.takes_escapes()) {
      put(platform::clear_row_and_below, true);
    } else if (const std::size_t room = this->room(); room > 0) {
      put(FixedText("\r").append(room, ' ').append("\r"), true);
    }
  }
  terminal_.shown(0);
}
