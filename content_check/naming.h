// The naming rule: how the typed line becomes the input's name, and which name
// the verdict goes to.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// The longest input name, in bytes; the line's buffer holds it and its end.
inline constexpr std::size_t longest_name = 127;
inline constexpr std::size_t line_buffer_size = longest_name + 1;

// Cuts the typed line in place at its first byte below 0x20 (the newline, a
// carriage return, a tab, any control byte) or after longest_name bytes,
// whichever comes first. Spaces, 0x7F and bytes from 0x80 up belong to the
// name.
void trim_input_name(std::span<char, line_buffer_size> line);

// The two names a verdict may go to. Each is a literal, so a name may be
// handed to the system as it stands.
inline constexpr std::string_view result_names[] = {"test.fzz", "test2.fzz"};

// Which of result_names takes the verdict: the second when the last 8 bytes of
// the name are exactly "test.fzz" (case included), otherwise the first.
std::size_t choose_result_name(std::string_view input_name);

// The index of the other result name.
constexpr std::size_t other_result_name(std::size_t chosen) {
  return 1 - chosen;
}
