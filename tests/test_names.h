// Test names made from a row's description, for readable test lists, and how
// gtest shows a row in a message.
#pragma once

#include <cctype>
#include <ostream>
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

namespace row_printing {

// A row is shown by its name or description rather than as bytes. gtest looks
// for PrintTo beside the row's type: a test file brings this one in with
// `using row_printing::PrintTo;` in the namespace of its rows.
template <class Row>
requires requires(const Row& row) {
  row.name;
} || requires(const Row& row) {
  row.what;
}
void PrintTo(const Row& row, std::ostream* os) {
  if constexpr (requires { row.name; })
    *os << row.name;
  else
    *os << row.what;
}

}  // namespace row_printing
