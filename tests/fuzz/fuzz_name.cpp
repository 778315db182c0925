// The typed line through trimming and naming, against a plain statement of
// the rule: the name is the line up to its first byte below 0x20, at most 127
// bytes; the result is "test2.fzz" exactly when the name ends in "test.fzz".
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "naming.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // What the line reader leaves: up to 127 bytes, through the first newline,
  // then a NUL; the rest of the buffer holds what it held before.
  char line[line_buffer_size];
  std::memset(line, 'Q', sizeof line);
  std::size_t n = 0;
  while (n < size && n < line_buffer_size - 1) {
    line[n] = static_cast<char>(data[n]);
    if (data[n++] == '\n') break;
  }
  line[n] = '\0';

  std::string expected;
  for (std::size_t i = 0; i < n && data[i] >= 0x20; ++i) expected += static_cast<char>(data[i]);

  trim_input_name(line);
  if (std::string(line) != expected) std::abort();

  const bool ends_in_result_name =
      expected.size() >= 8 && expected.compare(expected.size() - 8, 8, "test.fzz") == 0;
  const std::size_t chosen = choose_result_name(line);
  if (result_names[chosen] != (ends_in_result_name ? "test2.fzz" : "test.fzz")) std::abort();
  if (result_names[other_result_name(chosen)] == result_names[chosen]) std::abort();
  return 0;
}
