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

}  // namespace

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
  if (::GetFileInformationByHandle(h, &result) &&
      ::GetFileInformationByHandle(handle_of(input), &source) &&
      result.dwVolumeSerialNumber == source.dwVolumeSerialNumber &&
      result.nFileIndexHigh == source.nFileIndexHigh &&
      result.nFileIndexLow == source.nFileIndexLow) {
    ::CloseHandle(h);
    return {nullptr, true};
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
  return {file, false};
}

}  // namespace platform
