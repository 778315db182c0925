// The endings carried out step by step, and the line that says why a
// failure ending came.
#include "endings.h"

#include <algorithm>
#include <cstdio>
#include <span>

#include "naming.h"

Ended end_with(const Ending& ending, EndingActions& actions) {
  const bool has_verdict = ending.verdict != no_verdict;
  bool stored = true;  // the verdict byte written and its file closed cleanly
  bool seen = true;    // every console line went out
  for (const Step step : ending.steps) {
    switch (step) {
      case Step::store_verdict:
        stored = actions.store_verdict(ending.verdict) && stored;
        break;
      case Step::close_result:
        // Only a close that has a verdict to keep can lose it.
        stored = (actions.close_result() || !has_verdict) && stored;
        break;
      case Step::close_input:
        actions.close_input();
        break;
      case Step::say_line:
        seen = actions.say(ending.line) && seen;
        break;
      case Step::remove_result:
        actions.remove_result();
        break;
    }
  }
  if (has_verdict && !stored) return {ending.status_if_verdict_lost, Lost::verdict};
  if (!seen) return {ending.status_if_line_lost, Lost::line};
  return {ending.status, Lost::nothing};
}

namespace {

// Text put into a fixed array, cut where the array ends.
struct LineWriter {
  std::span<char> room;
  std::size_t size = 0;

  void put(std::string_view bytes) {
    const std::size_t taken = std::min(bytes.size(), room.size() - size);
    std::copy_n(bytes.data(), taken, room.data() + size);
    size += taken;
  }
  void put_escaped(unsigned char byte) {
    constexpr char digits[] = "0123456789abcdef";
    const char escape[] = {'\\', 'x', digits[byte >> 4], digits[byte & 0xf]};
    put({escape, sizeof escape});
  }
};

// The length of the valid UTF-8 sequence at the start of bytes, 0 when there
// is none (a stray continuation byte, an overlong form, a surrogate, past
// U+10FFFF, cut short), with its code point.
std::size_t utf8_sequence(std::string_view bytes, char32_t& code) {
  const auto lead = static_cast<unsigned char>(bytes[0]);
  std::size_t length = 0;
  char32_t smallest = 0;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2, code = lead & 0x1f, smallest = 0x80;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3, code = lead & 0x0f, smallest = 0x800;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4, code = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(bytes[i]);
    if ((next & 0xc0) != 0x80) return 0;
    code = code << 6 | (next & 0x3f);
  }
  if (code < smallest || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
  return length;
}

// Characters that a terminal takes as more than a character: the C1
// controls, the marks and overrides that reorder a line where it is shown
// right to left, and the separators that may break it.
bool controls_the_display(char32_t code) {
  return code <= 0x9f || code == 0x061c || code == 0x200e || code == 0x200f ||
         (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069);
}

void put_name(LineWriter& line, std::string_view name, Charset charset) {
  const bool quoted =
      name.empty() || name.front() == ' ' || name.front() == '\'' || name.back() == ' ';
  if (quoted) line.put("'");
  while (!name.empty()) {
    const auto byte = static_cast<unsigned char>(name[0]);
    std::size_t taken = 1;
    if (byte == '\\') {
      line.put("\\\\");
    } else if (byte == '\'' && quoted) {
      line.put("\\'");
    } else if (byte < 0x20 || byte == 0x7f) {
      line.put_escaped(byte);
    } else if (byte < 0x80) {
      line.put(name.substr(0, 1));
    } else if (charset == Charset::eight_bit) {
      if (byte <= 0x9f)
        line.put_escaped(byte);
      else
        line.put(name.substr(0, 1));
    } else {
      char32_t code = 0;
      taken = utf8_sequence(name, code);
      if (taken > 0 && !controls_the_display(code)) {
        line.put(name.substr(0, taken));
      } else {
        // A character that must not act is shown byte by byte; a byte of no
        // character alone, so that what follows it is judged on its own.
        taken = std::max<std::size_t>(taken, 1);
        for (std::size_t i = 0; i < taken; ++i)
          line.put_escaped(static_cast<unsigned char>(name[i]));
      }
    }
    name.remove_prefix(taken);
  }
  if (quoted) line.put("'");
}

}  // namespace

std::string_view failure_line(FailureLine& into, std::string_view name, std::string_view reason,
                              Charset charset) {
  LineWriter line{.room = into.text};
  line.put("content_check: ");
  put_name(line, name, charset);
  line.put(": ");
  line.put(reason);
  return {into.text, line.size};
}
