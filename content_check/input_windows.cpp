// The input on Windows: opened as the C library opens it, read straight from
// its handle as stored, at offsets through ntdll's own read.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <new>
#include <utility>

#include "input.h"
#include "platform_windows.h"

namespace platform {

namespace {

HANDLE handle_of(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
}

// ntdll's NtReadFile, the call beneath ReadFile; declared here since only the
// driver kit's headers declare it.
using NtReadFileCall = NTSTATUS(NTAPI*)(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                        void* apc_context, IO_STATUS_BLOCK* io, void* buffer,
                                        ULONG length, LARGE_INTEGER* offset, ULONG* key);
constexpr NTSTATUS status_success = 0;
constexpr auto status_end_of_file = static_cast<NTSTATUS>(0xC0000011);

NtReadFileCall nt_read_file() {
  return reinterpret_cast<NtReadFileCall>(reinterpret_cast<void (*)()>(
      ::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtReadFile")));
}

class FileInput final : public Input {
 public:
  explicit FileInput(std::FILE* stream)
      : stream_(stream), handle_(handle_of(stream)), identity_(identity_of(handle_)) {}
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  ~FileInput() override { close(); }

  std::int64_t length() override {
    LARGE_INTEGER size{};
    // Pipes and character devices have no size to report.
    if (::GetFileType(handle_) != FILE_TYPE_DISK || !::GetFileSizeEx(handle_, &size)) return -1;
    return size.QuadPart;
  }

  std::ptrdiff_t read(std::span<unsigned char> into) override {
    // Straight from the handle, as stored: the C library's text-mode
    // translation costs far more than the read itself (bench/run shows the
    // rate). Nothing was ever read through the stream, so the handle stands
    // where the stream would.
    const auto want = static_cast<DWORD>(std::min<std::size_t>(into.size(), std::size_t{1} << 30));
    DWORD got = 0;
    if (::ReadFile(handle_, into.data(), want, &got, nullptr))
      return static_cast<std::ptrdiff_t>(got);
    switch (::GetLastError()) {
      case ERROR_BROKEN_PIPE:  // a pipe whose writer has gone: the end of the data
        return 0;
      case ERROR_MORE_DATA:  // a message pipe's message longer than the block: its first part
        return static_cast<std::ptrdiff_t>(got);
      default:
        read_error_ = static_cast<int>(::GetLastError());
        return -1;
    }
  }

  bool positioned() const override { return ::GetFileType(handle_) == FILE_TYPE_DISK; }

  std::ptrdiff_t read_at(std::span<unsigned char> into, std::int64_t offset) override {
    // NtReadFile with an offset and neither an event nor a completion context,
    // rather than ReadFile with an OVERLAPPED: Wine's ReadFile then asks its
    // server to queue a completion, one round trip per read through the one
    // server all readers share, which cost more than the read (bench/run's
    // Windows rows). On Windows the two do the same. Several threads may read
    // at once on this handle.
    static const NtReadFileCall nt_read = nt_read_file();
    if (nt_read == nullptr) {
      read_error_ = ERROR_PROC_NOT_FOUND;
      return -1;
    }
    const auto want = static_cast<ULONG>(std::min<std::size_t>(into.size(), std::size_t{1} << 30));
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        nt_read(handle_, nullptr, nullptr, nullptr, &io, into.data(), want, &at, nullptr);
    if (status == status_success) return static_cast<std::ptrdiff_t>(io.Information);
    if (status == status_end_of_file) return 0;
    read_error_ = ERROR_READ_FAULT;
    return -1;
  }

  // Holes are never reported here, so the scan reads every byte and never
  // needs to move: next_data and seek keep their defaults.

  std::optional<ChangeStamp> change_stamp() override {
    LARGE_INTEGER size{};
    FILE_BASIC_INFO times{};
    if (!::GetFileSizeEx(handle_, &size) ||
        !::GetFileInformationByHandleEx(handle_, FileBasicInfo, &times, sizeof times))
      return std::nullopt;
    return ChangeStamp{.size = size.QuadPart,
                       .changed = times.ChangeTime.QuadPart,
                       .written = times.LastWriteTime.QuadPart};
  }

  FileIdentity identity() const override { return identity_; }

  Failure read_failure() const override { return {.error = read_error_.load()}; }

  void close() override {
    if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  }

 private:
  std::FILE* stream_;
  HANDLE handle_;
  FileIdentity identity_;
  std::atomic<int> read_error_ = 0;
};

}  // namespace

std::unique_ptr<Input> open_input(const char* name, Failure* why) {
  // Opened as the C library opens in text mode, but read through the handle,
  // as stored: the answer is the same either way, since text mode only drops
  // carriage returns before a newline and ends the data at 0x1A, and each of
  // those bytes is non-zero.
  std::FILE* input = std::fopen(name, "r");
  // The C library's open sets the system's error last; its own errno says less.
  if (input == nullptr) return fail_open(why, {.error = static_cast<int>(::GetLastError())});
  struct _stati64 st {};
  if (::_fstati64(::_fileno(input), &st) != 0 || (st.st_mode & _S_IFDIR) != 0) {
    const Failure failure = (st.st_mode & _S_IFDIR) != 0
                                ? Failure{.reason = "Is a directory"}
                                : Failure{.error = static_cast<int>(::GetLastError())};
    std::fclose(input);
    return fail_open(why, failure);
  }
  auto* const opened = new (std::nothrow) FileInput(input);
  if (opened == nullptr) {
    std::fclose(input);
    return fail_open(why, {.error = ERROR_NOT_ENOUGH_MEMORY});
  }
  return std::unique_ptr<Input>(opened);
}

}  // namespace platform
