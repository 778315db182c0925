// Failures put in words on Windows: the system's message for an error code.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "failure.h"

namespace platform {

Failure last_failure() {
  return {.error = static_cast<int>(::GetLastError())};
}

std::string_view describe(const Failure& failure, std::span<char> into) {
  if (into.empty()) return {};
  if (failure.reason != nullptr) {
    std::snprintf(into.data(), into.size(), "%s", failure.reason);
    return into.data();
  }
  DWORD length =
      ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(failure.error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       into.data(), static_cast<DWORD>(into.size()), nullptr);
  if (length == 0) {
    std::snprintf(into.data(), into.size(), "error %lu", static_cast<unsigned long>(failure.error));
    return into.data();
  }
  // The system's messages end in a period and a line end, which the line
  // they go into has no room for.
  while (length > 0 && std::strchr(" .\r\n", into[length - 1]) != nullptr) --length;
  into[length] = '\0';
  return {into.data(), length};
}

}  // namespace platform
