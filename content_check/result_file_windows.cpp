// The result file on Windows: its creation or cut through one handle, and its
// removal through a handle on its own entry, held since then.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
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

// Whether h is on the file of that identity, and that file a plain one: not
// a link, a directory or a device.
bool is_plain_file(HANDLE h, const FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info{};
  return ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
         info.dwVolumeSerialNumber == identity.volume && index_of(info) == identity.index;
}

// Whether the entry that h was opened through still bears the name: a file
// renamed since, by anyone, is left where it went.
bool has_entry_name(HANDLE h, const char* name) {
  // The longest path the system takes, without the heap.
  static constexpr std::size_t longest = 32768;
  alignas(
      FILE_NAME_INFO) static unsigned char buffer[sizeof(FILE_NAME_INFO) + longest * sizeof(WCHAR)];
  auto* const info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
  if (!::GetFileInformationByHandleEx(h, FileNameInfo, buffer, sizeof buffer)) return false;
  const std::size_t length = info->FileNameLength / sizeof(WCHAR);
  const std::size_t wanted = std::strlen(name);
  if (length < wanted + 1 || info->FileName[length - wanted - 1] != L'\\') return false;
  // The names are ASCII, and the file system compares names without case.
  for (std::size_t i = 0; i < wanted; ++i) {
    const WCHAR c = info->FileName[length - wanted + i];
    const WCHAR lower = c >= L'A' && c <= L'Z' ? static_cast<WCHAR>(c - L'A' + L'a') : c;
    if (lower != static_cast<unsigned char>(name[i])) return false;
  }
  return true;
}

// A handle on the name's own entry, opened without following a link and
// with no right that another program's sharing could refuse, when that entry
// is the plain file created or cut; null otherwise.
HANDLE own_entry(const char* name, const FileIdentity& identity) {
  const HANDLE h = ::CreateFileA(name, FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  if (is_plain_file(h, identity)) return h;
  ::CloseHandle(h);
  return nullptr;
}

// The file under the name, for writing: the very file that look is open on
// when the name led to one, or else the file under the name, created when
// there is none; invalid when it cannot be had. Whether it was created.
HANDLE open_for_writing(const char* name, HANDLE look, bool& created) {
  constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  created = false;
  // Opened anew from the handle rather than by the name, so that no other
  // file swapped in under the name by now is opened instead.
  if (look != INVALID_HANDLE_VALUE) return ::ReOpenFile(look, GENERIC_WRITE, share, 0);
  // Opened without cutting first, so that nothing is cut before the file is known.
  const HANDLE h = ::CreateFileA(name, GENERIC_WRITE, share, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  created = h != INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_ALREADY_EXISTS;
  return h;
}

}  // namespace

ResultFile ResultFile::create_named(const char* name, const FileIdentity& input) {
  ResultFile result;
  result.name_ = name;
  // Looked at first with no right but to read its attributes, following links
  // as the open for writing would, and compared by file identity, so that a
  // name that differs only in case or in trailing spaces or dots, or a link,
  // never leads to the input being opened for writing: a read-only input is
  // examined all the same, and those who watch it see no write.
  const HANDLE look = ::CreateFileA(name, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  if (look != INVALID_HANDLE_VALUE && same_file(identity_of(look), input)) {
    ::CloseHandle(look);
    result.is_input_ = true;
    return result;
  }
  // A file that this run created and then cannot set up (a full disk refuses
  // even to cut it) is taken away again; one that was there before is left as
  // the failure found it.
  bool created = false;
  const HANDLE h = open_for_writing(name, look, created);
  const auto refused = static_cast<int>(::GetLastError());
  if (look != INVALID_HANDLE_VALUE) ::CloseHandle(look);
  if (h == INVALID_HANDLE_VALUE) return failed(name, {.error = refused});
  const FileIdentity identity = identity_of(h);
  // Only a file that the look did not find, one that came under the name
  // since, can be the input here: it has been opened for writing by then, but
  // is never written.
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
    return failed(name, {.error = ERROR_TOO_MANY_OPEN_FILES});
  }
  std::FILE* const stream = ::_fdopen(fd, "wb");
  if (stream == nullptr) {
    if (created) remove_when_closed(h);
    ::_close(fd);
    return failed(name, {.error = ERROR_NOT_ENOUGH_MEMORY});
  }
  if (::GetFileType(h) == FILE_TYPE_DISK && !::SetEndOfFile(h)) {
    const auto error = static_cast<int>(::GetLastError());
    if (created) remove_when_closed(h);
    std::fclose(stream);
    return failed(name, {.error = error});
  }
  result.stream_ = Stream(stream);
  result.identity_ = identity;
  if (const HANDLE entry = own_entry(name, identity); entry != nullptr)
    result.hold_ = RemovalHold(reinterpret_cast<std::intptr_t>(entry));
  return result;
}

void LetGoOfHold::operator()(std::intptr_t held) const noexcept {
  ::CloseHandle(reinterpret_cast<HANDLE>(held));
}

void ResultFile::remove() {
  if (!hold_) return;
  const HANDLE entry = reinterpret_cast<HANDLE>(hold_.release());
  // Reopened from the entry's own handle, never by its name, with the right
  // to delete asked only now: the handles had so far need no sharing of
  // deletion from other programs that hold the file open.
  const HANDLE h = ::ReOpenFile(entry, DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                FILE_FLAG_OPEN_REPARSE_POINT);
  ::CloseHandle(entry);
  if (h == INVALID_HANDLE_VALUE) return;
  if (is_plain_file(h, identity_) && has_entry_name(h, name_)) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  }
  ::CloseHandle(h);
}

}  // namespace platform
