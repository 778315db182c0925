// Which file an open file is, as the file system tells files apart: what the
// input and the result file are compared by.
#pragma once

#include <cstdint>

namespace platform {

struct FileIdentity {
  std::uint64_t volume = 0;  // the device or volume that holds it
  std::uint64_t index = 0;   // its inode or file index there
  // For a device node: which device it reaches, told apart by kind (block or
  // character); 0 for everything else. Two nodes of one device are one file.
  std::uint64_t device = 0;
};

}  // namespace platform
