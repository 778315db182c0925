// What the Linux files share: how an open file is told apart, and a
// descriptor that closes when it goes.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "file_identity.h"
#include "owner.h"

namespace platform {

inline FileIdentity identity_of(const struct stat& st) {
  FileIdentity id{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))
    id.device = (static_cast<std::uint64_t>(st.st_rdev) << 1 | (S_ISBLK(st.st_mode) ? 1 : 0)) + 1;
  return id;
}

inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
  if (a.volume == b.volume && a.index == b.index) return true;
  // Two device nodes of one device are two inodes that reach the same bytes.
  return a.device != 0 && a.device == b.device;
}

struct CloseDescriptor {
  void operator()(int fd) const noexcept { ::close(fd); }
};
// A descriptor, closed when it goes.
using Descriptor = Owner<int, -1, CloseDescriptor>;

}  // namespace platform
