// Failures put in words on Linux: the C library's text for an errno.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "failure.h"

namespace platform {

Failure last_failure() {
  return {.error = errno};
}

std::string_view describe(const Failure& failure, std::span<char> into) {
  if (into.empty()) return {};
  if (failure.reason != nullptr) {
    std::snprintf(into.data(), into.size(), "%s", failure.reason);
  } else {
    // The GNU strerror_r, which may hand back its own static text instead.
    const char* const text = ::strerror_r(failure.error, into.data(), into.size());
    if (text != into.data()) std::snprintf(into.data(), into.size(), "%s", text);
  }
  return into.data();
}

}  // namespace platform
