// Test names made from a row's description, for readable test lists.
#pragma once

#include <cctype>
#include <string>

inline std::string test_name(const std::string& what) {
  std::string name;
  bool upper = true;
  for (const char ch : what) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c)) {
      name += static_cast<char>(upper ? std::toupper(c) : c);
      upper = false;
    } else {
      upper = true;
    }
  }
  return name;
}
