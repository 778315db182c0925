// The console on Linux: standard input read a byte at a time, whatever it is,
// and whole lines written on standard output.
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <string_view>

#include "console.h"
#include "naming.h"
#include "reasons.h"

namespace platform {

namespace {

// Whether the two are the same letters, in any case.
bool spelled_alike(std::string_view name, std::string_view lower) {
  return std::ranges::equal(name, lower, [](char a, char b) {
    return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
  });
}

}  // namespace

const char* const manual = "see man content_check";

void prepare_process() {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

bool stderr_shows_utf8() {
  // The locale's name says its character set as the C library would take it,
  // without the locale itself being installed or loaded. The C locale says
  // nothing of the terminal, and today's terminals read UTF-8.
  for (const char* const variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* const value = std::getenv(variable);
    if (value == nullptr || *value == '\0') continue;
    const std::string_view name(value);
    if (name == "C" || name == "POSIX") return true;
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) return false;
    std::string_view set = name.substr(dot + 1);
    set = set.substr(0, set.find('@'));
    return spelled_alike(set, "utf-8") || spelled_alike(set, "utf8");
  }
  return true;
}

namespace {

// Waits until standard input or output is ready, for whoever shares it may
// have left it non-blocking. False when the wait itself fails.
bool wait_until_ready(int fd, short events) {
  pollfd ready{.fd = fd, .events = events, .revents = 0};
  return ::poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

// Whether standard input is a socket that keeps messages apart (datagrams,
// sequenced packets). A read there takes a whole message, and whatever of it
// does not fit the read is gone, so the line cannot be read a byte at a time.
bool input_keeps_messages() {
  struct stat st {};
  if (::fstat(STDIN_FILENO, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  int type = 0;
  socklen_t size = sizeof type;
  return ::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type != SOCK_STREAM;
}

// The line from a socket that keeps messages: one message, received whole,
// handed out a byte at a time up to its first newline; the message's end ends
// the line too. What follows the newline in the same message goes with it, as
// it would with any reader; later messages are left for others. Only as much
// of the message is kept as a name can hold.
int next_message_byte() {
  static unsigned char message[line_buffer_size];
  static std::size_t size = 0;
  static std::size_t at = 0;
  static bool received = false;
  while (!received) {
    const ssize_t got = ::recv(STDIN_FILENO, message, sizeof message, 0);
    if (got >= 0) {
      size = static_cast<std::size_t>(got);
      received = true;
    } else if (errno != EINTR && ((errno != EAGAIN && errno != EWOULDBLOCK) ||
                                  !wait_until_ready(STDIN_FILENO, POLLIN))) {
      return line_input_error;
    }
  }
  if (at == size) return end_of_line_input;
  const unsigned char byte = message[at++];
  if (byte == '\n') size = at;
  return byte;
}

}  // namespace

int read_stdin_byte() {
  static const bool messages = input_keeps_messages();
  if (messages) return next_message_byte();
  unsigned char byte = 0;
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got == 1) return byte;
    if (got == 0) return end_of_line_input;
    if (errno == EINTR) continue;
    // Whoever shares standard input may have left it non-blocking: the name
    // has not come yet, so wait for it rather than take an empty one.
    if (errno != EAGAIN && errno != EWOULDBLOCK) return line_input_error;
    if (!wait_until_ready(STDIN_FILENO, POLLIN)) return line_input_error;
  }
}

namespace {

// Writes the line and a newline on the descriptor, as far as it goes: errno
// tells why when it did not go whole. A descriptor full for now is waited on
// when asked to.
bool write_line(int fd, std::string_view line, bool wait_when_full) {
  iovec pieces[] = {{const_cast<char*>(line.data()), line.size()}, {const_cast<char*>("\n"), 1}};
  iovec* next = pieces;
  int left = static_cast<int>(std::size(pieces));
  while (left > 0) {
    const ssize_t written = ::writev(fd, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      // Full for now, with its reader still there: wait until there is room.
      if (!wait_when_full || (errno != EAGAIN && errno != EWOULDBLOCK) ||
          !wait_until_ready(fd, POLLOUT))
        return false;
      continue;
    }
    if (written == 0) return false;
    auto done = static_cast<std::size_t>(written);
    for (; left > 0 && done >= next->iov_len; --left, ++next) done -= next->iov_len;
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

}  // namespace

bool write_stdout_line(std::string_view line, Failure& why) {
  errno = 0;
  if (write_line(STDOUT_FILENO, line, true)) return true;
  why = errno != 0 ? Failure{.error = errno} : Failure{.reason = reasons::line_not_taken};
  return false;
}

void write_stderr_line(std::string_view line) {
  write_line(STDERR_FILENO, line, false);
}

}  // namespace platform
