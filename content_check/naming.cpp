#include <cstring>

#include "content_check.h"

void trim_input_name(std::span<char, line_buffer_size> line) {
  std::size_t end = 0;
  while (end < line.size() - 1 && static_cast<unsigned char>(line[end]) >= 0x20) ++end;
  line[end] = '\0';
}

const char* choose_result_name(const char* input_name) {
  static constexpr char suffix[] = "test.fzz";
  constexpr std::size_t suffix_length = sizeof suffix - 1;
  const std::size_t n = std::strlen(input_name);
  // memcmp compares as unsigned bytes and folds no case.
  if (n >= suffix_length && std::memcmp(input_name + n - suffix_length, suffix, suffix_length) == 0)
    return "test2.fzz";
  return "test.fzz";
}

const char* other_result_name(const char* result_name) {
  return std::strcmp(result_name, "test.fzz") == 0 ? "test2.fzz" : "test.fzz";
}
