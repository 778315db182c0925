#include "files.h"
#include "platform.h"

InputSource::InputSource(std::FILE* input)
    : input_(input), holes_(platform::reports_holes(input)) {}

std::int64_t InputSource::length() {
  return platform::input_length(input_);
}

std::ptrdiff_t InputSource::read(std::span<unsigned char> into) {
  return platform::read_input(input_, into);
}

DataExtent InputSource::next_data(std::int64_t offset) {
  if (!holes_) return {};
  return platform::next_data(input_, offset);
}

bool InputSource::seek(std::int64_t offset) {
  return holes_ && platform::seek_input(input_, offset);
}
