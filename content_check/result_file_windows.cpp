// The result file on Windows: its creation or cut through one handle, and its
// removal through a handle that was checked to be on the file created.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <utility>

#include "platform_windows.h"
#include "result_file.h"

namespace platform {

namespace {

// Has the file open at h removed once its last handle closes. Through a
// handle of its own, opened on the same file rather than by name, so that no
// other file that the name may lead to by then is touched, and so that the
// handle the run writes through never needed the right to delete: asking for
// it would fail where another program holds the file open without sharing
// deletion, as the C library's fopen does.
void remove_when_closed(HANDLE h) {
  const HANDLE deleting =
      ::ReOpenFile(h, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
  if (deleting == INVALID_HANDLE_VALUE) return;
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  ::SetFileInformationByHandle(deleting, FileDispositionInfo, &disposition, sizeof disposition);
  ::CloseHandle(deleting);
}

}  // namespace

ResultFile ResultFile::create_named(const char* name, const FileIdentity& input) {
  // Opened without cutting first, and compared by file identity, so that a
  // name that differs only in case or in trailing spaces or dots, or a link,
  // never leads to the input being cut.
  const HANDLE h =
      ::CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  // A file that this run created and then cannot set up (a full disk refuses
  // even to cut it) is taken away again; one that was there before is left as
  // the failure found it.
  const bool created = ::GetLastError() != ERROR_ALREADY_EXISTS;
  const FileIdentity identity = identity_of(h);
  ResultFile result;
  if (same_file(identity, input)) {
    ::CloseHandle(h);
    result.is_input_ = true;
    return result;
  }
  // The stream, which needs memory, is had before anything is cut: without
  // it, a file that was there stays as it was.
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    if (created) remove_when_closed(h);
    ::CloseHandle(h);
    return {};
  }
  std::FILE* const stream = ::_fdopen(fd, "wb");
  if (stream == nullptr) {
    if (created) remove_when_closed(h);
    ::_close(fd);
    return {};
  }
  if (::GetFileType(h) == FILE_TYPE_DISK && !::SetEndOfFile(h)) {
    if (created) remove_when_closed(h);
    std::fclose(stream);
    return {};
  }
  result.stream_ = stream;
  result.name_ = name;
  result.identity_ = identity;
  return result;
}

ResultFile::ResultFile(ResultFile&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)),
      is_input_(other.is_input_),
      name_(other.name_),
      identity_(other.identity_) {}

ResultFile& ResultFile::operator=(ResultFile&& other) noexcept {
  if (this != &other) {
    close();
    stream_ = std::exchange(other.stream_, nullptr);
    is_input_ = other.is_input_;
    name_ = other.name_;
    identity_ = other.identity_;
  }
  return *this;
}

ResultFile::~ResultFile() {
  close();
}

void ResultFile::remove() {
  if (name_ == nullptr) return;
  // Opened without following a link, checked, and deleted through the same
  // handle, so that the file checked is the file removed.
  const HANDLE h = ::CreateFileA(name_, DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      info.dwVolumeSerialNumber == identity_.volume && index_of(info) == identity_.index) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  }
  ::CloseHandle(h);
}

}  // namespace platform
