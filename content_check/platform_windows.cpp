#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "platform.h"

namespace platform {

namespace {

HANDLE handle_of(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

std::uint64_t index_of(const BY_HANDLE_FILE_INFORMATION& info) {
  return (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
}

}  // namespace

void prepare_process() {
  // Nothing to do: a write to a pipe whose reader has gone fails here anyway.
}

int read_stdin_byte() {
  // Straight from the handle: the C library's text-mode reads look one byte
  // ahead after a carriage return, and on a pipe that byte is the next reader's.
  unsigned char byte = 0;
  DWORD got = 0;
  if (!::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr))
    return ::GetLastError() == ERROR_BROKEN_PIPE ? end_of_line_input : line_input_error;
  return got == 1 ? byte : end_of_line_input;
}

std::FILE* open_input(const char* name) {
  // Text mode, as the C library has it on Windows: carriage returns before a
  // newline are dropped and 0x1A ends the data. The scan still answers right,
  // since each of those bytes is non-zero and goes missing from the length.
  std::FILE* input = std::fopen(name, "r");
  if (input == nullptr) return nullptr;
  struct _stati64 st {};
  if (::_fstati64(::_fileno(input), &st) != 0 || (st.st_mode & _S_IFDIR) != 0) {
    std::fclose(input);
    return nullptr;
  }
  return input;
}

std::int64_t input_length(std::FILE* input) {
  const HANDLE h = handle_of(input);
  LARGE_INTEGER size{};
  // Pipes and character devices have no size to report.
  if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileSizeEx(h, &size)) return -1;
  return size.QuadPart;
}

std::ptrdiff_t read_input(std::FILE* input, std::span<unsigned char> into) {
  const std::size_t got = std::fread(into.data(), 1, into.size(), input);
  if (got == 0 && std::ferror(input)) return -1;
  return static_cast<std::ptrdiff_t>(got);
}

bool reports_holes(std::FILE*) {
  return false;
}

// Holes are never reported here, so the scan never skips and never needs to
// move back or forth in a text-mode stream.
bool seek_input(std::FILE*, std::int64_t) {
  return false;
}

DataExtent next_data(std::FILE*, std::int64_t) {
  return {};
}

CreatedResult create_result(const char* name, std::FILE* input) {
  // Opened without cutting first, and compared by file identity, so that a
  // name that differs only in case or in trailing spaces or dots, or a link,
  // never leads to the input being cut.
  const HANDLE h =
      ::CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  BY_HANDLE_FILE_INFORMATION result{}, source{};
  const bool known = ::GetFileInformationByHandle(h, &result);
  if (known && ::GetFileInformationByHandle(handle_of(input), &source) &&
      result.dwVolumeSerialNumber == source.dwVolumeSerialNumber &&
      index_of(result) == index_of(source)) {
    ::CloseHandle(h);
    return {nullptr, true, {}};
  }
  if (::GetFileType(h) == FILE_TYPE_DISK && !::SetEndOfFile(h)) {
    ::CloseHandle(h);
    return {};
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    return {};
  }
  std::FILE* file = ::_fdopen(fd, "wb");
  if (file == nullptr) ::_close(fd);
  if (!known) return {file, false, {}};
  return {file, false, {result.dwVolumeSerialNumber, index_of(result)}};
}

void remove_result(const char* name, FileIdentity created) {
  // Opened without following a link, checked, and deleted through the same
  // handle, so that the file checked is the file removed.
  const HANDLE h = ::CreateFileA(name, DELETE | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info{};
  if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
      (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
      info.dwVolumeSerialNumber == created.volume && index_of(info) == created.index) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  }
  ::CloseHandle(h);
}

}  // namespace platform
