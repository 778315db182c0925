#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <bit>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "platform.h"
#include "platform_windows.h"

namespace platform {

void prepare_process() {
  // Nothing to do: a write to a pipe whose reader has gone fails here anyway.
}

int read_stdin_byte() {
  // Straight from the handle: the C library's text-mode reads look one byte
  // ahead after a carriage return, and on a pipe that byte is the next reader's.
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  for (;;) {
    unsigned char byte = 0;
    DWORD got = 0;
    if (!::ReadFile(input, &byte, 1, &got, nullptr)) {
      switch (::GetLastError()) {
        case ERROR_BROKEN_PIPE:  // a pipe whose writer has gone: the end of the input
          return end_of_line_input;
        case ERROR_MORE_DATA:  // a message pipe's longer message: its first byte, the rest stays
          break;
        default:
          return line_input_error;
      }
    }
    if (got == 1) return byte;
    // Nothing read from a message pipe is an empty message, and the name may
    // come in the next: such a pipe ends only when its writer goes. Anything
    // else, and a byte pipe under Wine, says its end so.
    DWORD flags = 0;
    if (!::GetNamedPipeInfo(input, &flags, nullptr, nullptr, nullptr) ||
        (flags & PIPE_TYPE_MESSAGE) == 0)
      return end_of_line_input;
  }
}

bool write_stdout_line(std::string_view line) {
  // Through the C library's text-mode stream, which ends the line in a
  // carriage return and a newline, as console programs' lines end here; and
  // out at once, so that the prompt is seen before the name is awaited.
  return std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
         std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
}

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
    if (nt_read == nullptr) return -1;
    const auto want = static_cast<ULONG>(std::min<std::size_t>(into.size(), std::size_t{1} << 30));
    LARGE_INTEGER at{};
    at.QuadPart = offset;
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        nt_read(handle_, nullptr, nullptr, nullptr, &io, into.data(), want, &at, nullptr);
    if (status == status_success) return static_cast<std::ptrdiff_t>(io.Information);
    return status == status_end_of_file ? 0 : -1;
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

  void close() override {
    if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  }

 private:
  std::FILE* stream_;
  HANDLE handle_;
  FileIdentity identity_;
};

}  // namespace

std::unique_ptr<Input> open_input(const char* name) {
  // Opened as the C library opens in text mode, but read through the handle,
  // as stored: the answer is the same either way, since text mode only drops
  // carriage returns before a newline and ends the data at 0x1A, and each of
  // those bytes is non-zero.
  std::FILE* input = std::fopen(name, "r");
  if (input == nullptr) return nullptr;
  struct _stati64 st {};
  if (::_fstati64(::_fileno(input), &st) != 0 || (st.st_mode & _S_IFDIR) != 0) {
    std::fclose(input);
    return nullptr;
  }
  auto* const opened = new (std::nothrow) FileInput(input);
  if (opened == nullptr) {
    std::fclose(input);
    return nullptr;
  }
  return std::unique_ptr<Input>(opened);
}

ScanBuffer::ScanBuffer(std::size_t size, std::size_t /*head*/) noexcept {
  // Whole pages from the system, aligned to its allocation granularity and
  // committed only as they are first touched.
  if (size == 0) return;
  void* const start = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (start == nullptr) return;
  mapping_ = start;
  mapped_ = size;
  bytes_ = {static_cast<unsigned char*>(start), size};
}

ScanBuffer::~ScanBuffer() {
  if (mapping_ != nullptr) ::VirtualFree(mapping_, 0, MEM_RELEASE);
}

std::size_t usable_processors() {
  // The processors the process may run on; the system's count where the
  // affinity cannot be read.
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0)
    return static_cast<std::size_t>(std::popcount(static_cast<std::uint64_t>(process)));
  return std::max<std::size_t>(1, ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The console's state as the Ctrl-C handler sees it. The handler runs on a
// thread of its own, so the line is drawn and erased under a lock, which
// lives as long as the process, since the handler may still be running when
// the line goes.
// The most columns an interruption overwrites; no line is ever wider.
constexpr std::size_t erasure_room = 254;

struct ConsoleLine {
  CRITICAL_SECTION lock;
  HANDLE console = INVALID_HANDLE_VALUE;
  std::size_t shown = 0;  // the columns that an interruption overwrites
  bool ending = false;    // interrupted: draw no more
  bool escapes = false;   // the console takes escape sequences
  DWORD mode = 0;         // its mode as it was found, given back as it goes

  ConsoleLine() { ::InitializeCriticalSection(&lock); }
};

ConsoleLine& console_line() {
  static ConsoleLine line;
  return line;
}

class Locked {
 public:
  explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { ::EnterCriticalSection(&lock_); }
  ~Locked() { ::LeaveCriticalSection(&lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

// The buffer's width, not the window's: lines wrap at the buffer's edge.
std::size_t console_columns(HANDLE console) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  return ::GetConsoleScreenBufferInfo(console, &info) && info.dwSize.X > 0
             ? static_cast<std::size_t>(info.dwSize.X)
             : 0;
}

// False when the console fails.
bool put(HANDLE console, std::string_view text) {
  DWORD written = 0;
  return ::WriteConsoleA(console, text.data(), static_cast<DWORD>(text.size()), &written,
                         nullptr) != 0 &&
         written == text.size();
}

// Erases the line, as wide as the console now allows, then hands the event
// on: the system's own handler, last in line, ends the process as Ctrl-C
// always does.
BOOL WINAPI erase_on_interrupt(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    ConsoleLine& line = console_line();
    const Locked locked(line.lock);
    if (line.shown > 0) {
      if (line.escapes) {
        put(line.console, "\r\033[J");
      } else {
        const std::size_t width = console_columns(line.console);
        const std::size_t columns = width > 0 ? std::min(line.shown, width - 1) : line.shown;
        // Built in place: the handler may run when the heap has nothing left.
        char erasure[erasure_room + 2];
        erasure[0] = '\r';
        const std::size_t covered = std::min(columns, erasure_room);
        std::fill_n(erasure + 1, covered, ' ');
        erasure[covered + 1] = '\r';
        if (covered > 0) put(line.console, {erasure, covered + 2});
      }
    }
    if (line.escapes) ::SetConsoleMode(line.console, line.mode);
    line.shown = 0;
    line.ending = true;
  }
  return FALSE;
}

class Console final : public Terminal {
 public:
  Console(HANDLE console, DWORD mode) {
    ConsoleLine& line = console_line();
    {
      const Locked locked(line.lock);
      line.console = console;
      line.shown = 0;
      line.ending = false;
      // Consoles since Windows 10 re-flow their rows when narrowed, and clear
      // to the end of the screen only when asked in an escape sequence, which
      // they take once told to. Older ones are drawn on with spaces.
      line.mode = mode;
      line.escapes = ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }
    ::SetConsoleCtrlHandler(erase_on_interrupt, TRUE);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  ~Console() override {
    ::SetConsoleCtrlHandler(erase_on_interrupt, FALSE);
    ConsoleLine& line = console_line();
    const Locked locked(line.lock);
    line.shown = 0;
    if (line.escapes) ::SetConsoleMode(line.console, line.mode);
    line.escapes = false;
  }

  std::size_t columns() override { return console_columns(console_line().console); }

  bool takes_escapes() override {
    ConsoleLine& line = console_line();
    const Locked locked(line.lock);
    return line.escapes;
  }

  // A console keeps no foreground and background jobs apart: a program
  // started with `start /b` shares it as it is, and cannot tell.
  bool in_foreground() override { return true; }

  bool write(std::string_view bytes) override {
    ConsoleLine& line = console_line();
    const Locked locked(line.lock);
    // Once interrupted, the process is about to end: nothing more is drawn.
    return line.ending || put(line.console, bytes);
  }

  void shown(std::size_t columns) override {
    ConsoleLine& line = console_line();
    const Locked locked(line.lock);
    if (!line.ending) line.shown = columns;
  }
};

std::optional<Console> console;

}  // namespace

void CloseTerminal::operator()(Terminal*) const noexcept {
  console.reset();
}

OpenTerminal open_terminal() {
  const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (error == INVALID_HANDLE_VALUE || error == nullptr || !::GetConsoleMode(error, &mode))
    return nullptr;
  return OpenTerminal(&console.emplace(error, mode));
}

}  // namespace platform
