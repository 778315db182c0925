// The console on Windows as a terminal: standard error when it is one, and
// the erasure of the status line on Ctrl-C.
#include <windows.h>

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "terminal.h"

namespace platform {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// The console's state as the Ctrl-C handler sees it. The handler runs on a
// thread of its own, so the line is drawn and erased under a lock, which
// lives as long as the process, since the handler may still be running when
// the line goes.
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
        put(line.console, clear_row_and_below);
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

  // A console has no non-blocking writes: a paused one (a selection under
  // way, the Pause key) holds the write until it goes on.
  Written write(std::string_view bytes, bool) override {
    ConsoleLine& line = console_line();
    const Locked locked(line.lock);
    // Once interrupted, the process is about to end: nothing more is drawn.
    return line.ending || put(line.console, bytes) ? Written::all : Written::failed;
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
