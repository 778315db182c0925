// The naming rule: the typed line trimmed to the name, and the result name.
#include "naming.h"

void trim_input_name(std::span<char, line_buffer_size> line) {
  std::size_t end = 0;
  while (end < longest_name && static_cast<unsigned char>(line[end]) >= 0x20) ++end;
  line[end] = '\0';
}

std::size_t choose_result_name(std::string_view input_name) {
  // Compared as bytes, with no case folded.
  return input_name.ends_with(result_names[0]) ? 1 : 0;
}
