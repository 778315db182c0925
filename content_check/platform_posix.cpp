#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform.h"

namespace platform {

std::FILE* open_input(const char* name) {
  std::FILE* input = std::fopen(name, "r");
  if (input == nullptr) return nullptr;
  // Linux lets a directory be opened for reading; it only fails at the first read.
  struct stat st {};
  if (::fstat(::fileno(input), &st) != 0 || S_ISDIR(st.st_mode)) {
    std::fclose(input);
    return nullptr;
  }
  return input;
}

std::int64_t input_length(std::FILE* input) {
  struct stat st {};
  if (::fstat(::fileno(input), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

std::ptrdiff_t read_input(std::FILE* input, std::span<unsigned char> into) {
  // The stream's own buffer is never used: the scan reads large blocks straight
  // from the descriptor.
  for (;;) {
    const ssize_t got = ::read(::fileno(input), into.data(), into.size());
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

std::FILE* create_result(const char* name) {
  return std::fopen(name, "wb");
}

}  // namespace platform
