#include "files.h"
#include "platform.h"

std::int64_t InputSource::length() {
  return platform::input_length(input_);
}

std::ptrdiff_t InputSource::read(std::span<unsigned char> into) {
  return platform::read_input(input_, into);
}
