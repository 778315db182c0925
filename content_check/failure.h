// Why a file could not be had or read: the system's error, or the program's
// own words where no error of the system says it, put in words.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace platform {

struct Failure {
  // The system's error (errno on Linux, GetLastError on Windows); 0 for none.
  int error = 0;
  // Words of the program's own, a literal, where no error of the system says why.
  const char* reason = nullptr;
};

// Tells why where the caller asked to be told: null, for an opener to return.
inline std::nullptr_t fail_open(Failure* why, Failure failure) {
  if (why != nullptr) *why = failure;
  return nullptr;
}

// The system's error of the call that failed last in this thread.
Failure last_failure();

// The failure in words, into `into`, with no closing period or line end: its
// own reason, else the system's text for its error. Nothing is allocated.
std::string_view describe(const Failure& failure, std::span<char> into);

}  // namespace platform
