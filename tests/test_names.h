// Test names made from a row's description, for readable test lists.
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

// How GoogleTest prints a table's row: as its description. Brought into a test
// file's own namespace with `using test_names::PrintTo;`, where GoogleTest
// looks for it.
namespace test_names {

template <typename Row>
requires requires(const Row& row, std::ostream& os) {
  os << row.what;
}
void PrintTo(const Row& row, std::ostream* os) {
  *os << row.what;
}

}  // namespace test_names
