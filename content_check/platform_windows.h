// What the Windows files share: how an open file is told apart.
#pragma once

#include <windows.h>

#include <cstdint>

#include "file_identity.h"

namespace platform {

inline std::uint64_t index_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

inline FileIdentity identity_of(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return {};
  return {info.dwVolumeSerialNumber, index_of(info)};
}

inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
  // Pipes and consoles have no identity to compare: all zeros.
  return a.index != 0 && a.volume == b.volume && a.index == b.index;
}

}  // namespace platform
