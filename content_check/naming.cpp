#include "content_check.h"

void trim_input_name(std::span<char, line_buffer_size> line) {
  std::size_t end = 0;
  while (end < line.size() - 1 && static_cast<unsigned char>(line[end]) >= 0x20) ++end;
  line[end] = '\0';
}

std::size_t choose_result_name(std::string_view input_name) {
  // Compared as bytes, with no case folded.
  return input_name.ends_with(result_names[0]) ? 1 : 0;
}
