// The terminal on Linux: standard error when it is one, and the erasure of
// the status line when a signal ends the run.
#include <poll.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "terminal.h"

namespace platform {

namespace {

// The columns that an interruption overwrites, from the first; 0 when no line
// is shown. No line is ever wider than erasure_room.
volatile std::sig_atomic_t shown_columns = 0;
// Whether the terminal takes escape sequences, as told when it was opened.
volatile std::sig_atomic_t escapes = 0;

// A terminal that is said to take no escape sequences, or nothing is said of
// at all, is written to with carriage returns and spaces only.
bool terminal_takes_escapes() {
  const char* const type = std::getenv("TERM");
  return type != nullptr && *type != '\0' && std::string_view(type) != "dumb";
}

// These make only calls that are safe in a signal handler.
std::size_t terminal_columns() {
  struct winsize size {};
  return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// Standard error is drawn on only when it is this process's controlling
// terminal and the process is in its foreground. Where it is another terminal
// (the run started with setsid, standard error sent to another one), tcgetpgrp
// fails: the process has no say there, and the shell that holds that terminal
// may be showing its prompt on the very row.
bool in_terminal_foreground() {
  const pid_t foreground = ::tcgetpgrp(STDERR_FILENO);
  return foreground > 0 && foreground == ::getpgrp();
}

// The longest that a write waits for a paused terminal.
constexpr long patience_ms = 5000;

long milliseconds_since(const timespec& start) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

// Writes the bytes to standard error. A terminal whose output is paused
// (Ctrl-S) takes nothing, and when whoever shares it has left it non-blocking
// the write says so at once instead of waiting: then it is waited for, up to
// patience_ms in all, once any of the bytes went out or when they must reach
// it; a paused terminal makes no room, so poll says when it goes on.
Written write_to_terminal(const char* bytes, std::size_t size, bool must_reach) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(STDERR_FILENO, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return Written::failed;
    if (done == 0 && !must_reach) return Written::none;
    const long left = patience_ms - milliseconds_since(start);
    if (left <= 0) return done == 0 ? Written::none : Written::part;
    pollfd ready{.fd = STDERR_FILENO, .events = POLLOUT, .revents = 0};
    if (::poll(&ready, 1, static_cast<int>(left)) < 0 && errno != EINTR) return Written::failed;
  }
  return Written::all;
}

// Only calls that are safe in a signal handler: the erasure, as wide as the
// line and as the terminal now allows, then the signal again as if nobody had
// caught it, so that the shell sees the usual status.
void erase_and_end(int signal) {
  std::size_t columns = static_cast<std::size_t>(shown_columns);
  if (columns > 0 && in_terminal_foreground()) {
    char erasure[erasure_room + 2];
    static_assert(clear_row_and_below.size() <= sizeof erasure);
    std::size_t size = 0;
    if (escapes != 0) {
      for (const char c : clear_row_and_below) erasure[size++] = c;
    } else {
      const std::size_t width = terminal_columns();
      if (width > 0) columns = std::min(columns, width - 1);
      erasure[size++] = '\r';
      std::fill_n(erasure + size, columns, ' ');
      size += columns;
      erasure[size++] = '\r';
    }
    write_to_terminal(erasure, size, true);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

class StandardError final : public Terminal {
 public:
  StandardError() {
    shown_columns = 0;
    escapes = terminal_takes_escapes() ? 1 : 0;
    struct sigaction action {};
    action.sa_handler = erase_and_end;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(signals_); ++i) {
      ::sigaction(signals_[i], nullptr, &previous_[i]);
      // A signal that the caller ignores, as a shell does for a program
      // started in the background, stays ignored.
      if (previous_[i].sa_handler != SIG_IGN) ::sigaction(signals_[i], &action, nullptr);
    }
  }
  StandardError(const StandardError&) = delete;
  StandardError& operator=(const StandardError&) = delete;

  ~StandardError() override {
    shown_columns = 0;
    for (std::size_t i = 0; i < std::size(signals_); ++i)
      ::sigaction(signals_[i], &previous_[i], nullptr);
  }

  std::size_t columns() override { return terminal_columns(); }

  bool takes_escapes() override { return escapes != 0; }

  bool in_foreground() override { return in_terminal_foreground(); }

  Written write(std::string_view bytes, bool must_reach) override {
    return write_to_terminal(bytes.data(), bytes.size(), must_reach);
  }

  void shown(std::size_t columns) override {
    shown_columns = static_cast<std::sig_atomic_t>(std::min(columns, erasure_room));
  }

 private:
  static constexpr int signals_[] = {SIGINT, SIGTERM};
  struct sigaction previous_[std::size(signals_)]{};
};

std::optional<StandardError> standard_error;

}  // namespace

void CloseTerminal::operator()(Terminal*) const noexcept {
  standard_error.reset();
}

OpenTerminal open_terminal() {
  if (::isatty(STDERR_FILENO) == 0) return nullptr;
  return OpenTerminal(&standard_error.emplace());
}

}  // namespace platform
