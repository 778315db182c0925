// Runs the real program on a pseudo-terminal, one row per case, over an input
// that takes seconds: its progress must show while it runs and be gone from
// the screen at its end, must never reach a standard error that is no
// terminal, and must be erased when a signal ends the run.
//
// Usage: terminal_tests [--slow-read=LIBRARY] COMMAND... (see runner.h)
//   LIBRARY: the slow_read module, for a slow file of known length.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "dialogue.h"
#include "runner.h"
#include "temp_dir.h"
#include "test_names.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const RunnerOptions& options = runner_options();

constexpr unsigned short columns = 80;

// The screen that the bytes leave on a terminal of 80 columns, row by row,
// trailing spaces dropped: a carriage return goes back to the first column, a
// newline down a row, a backspace one column back, ESC [ K erases to the end
// of the row, and anything else is written where the cursor stands. Also the
// farthest column written, to show that no line wrapped.
struct Screen {
  std::string text;
  std::size_t widest = 0;
};

Screen screen_of(const std::string& bytes) {
  std::vector<std::string> rows(1);
  std::size_t row = 0, column = 0, widest = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == rows.size()) rows.emplace_back();
    } else if (c == '\b') {
      if (column > 0) --column;
    } else if (c == '\033' && bytes.compare(i, 3, "\033[K") == 0) {
      if (rows[row].size() > column) rows[row].resize(column);
      i += 2;
    } else {
      if (rows[row].size() <= column) rows[row].resize(column + 1, ' ');
      rows[row][column++] = c;
      widest = std::max(widest, column);
    }
  }
  std::string text;
  for (std::string& r : rows) {
    r.erase(r.find_last_not_of(' ') + 1);
    text += r + "\n";
  }
  text.erase(text.find_last_not_of('\n') + 1);
  return {text, widest};
}

TEST(ScreenOf, AppliesCarriageReturnsAndErasures) {
  EXPECT_EQ(screen_of("a\r\nlong line\r         \rEnd\r\n").text, "a\nEnd");
  EXPECT_EQ(screen_of("prompt\r\nxy\033[K\r\033[Kdone\r\n").text, "prompt\ndone");
  EXPECT_EQ(screen_of("abc\b\bZ").text, "aZc");
  EXPECT_EQ(screen_of("long line\r    \rEnd").text, "End  line");
}

// --- the run -----------------------------------------------------------------

enum class Input { fifo, slow_file };

struct Row {
  const char* name;
  Input input = Input::fifo;
  bool error_to_pipe = false;   // standard error a pipe instead of the terminal
  int signal = 0;               // sent once the progress shows (or after a while, when it cannot)
  bool typed = false;           // the signal comes as Ctrl-C typed at the terminal
  bool sigint_ignored = false;  // started with SIGINT ignored, as a background job is
  std::string screen;           // the final screen
  int status = zeros_only.status;    // the exit status, or 1000 + the signal that ended it
  std::vector<std::string> shown{};  // texts that must show while the scan runs
};

const std::string dialogue = std::string(prompt) + "\ninput\n";
const std::string progress = " examined, ";

const Row rows[] = {
    {.name = "FifoFedForThreeSeconds",
     .screen = dialogue + std::string(zeros_only.line),
     .shown = {progress, "/s"}},
    {.name = "StandardErrorAPipeStaysEmpty",
     .error_to_pipe = true,
     .screen = dialogue + std::string(zeros_only.line)},
    {.name = "SlowFileOfKnownLength",
     .input = Input::slow_file,
     .screen = dialogue + std::string(zeros_only.line),
     .shown = {" of 2.0 MiB examined (", "%), ", " s left"}},
    {.name = "InterruptedBySigint",
     .signal = SIGINT,
     .screen = dialogue.substr(0, dialogue.size() - 1),
     .status = 1000 + SIGINT,
     .shown = {progress}},
    {.name = "InterruptedBySigterm",
     .signal = SIGTERM,
     .screen = dialogue.substr(0, dialogue.size() - 1),
     .status = 1000 + SIGTERM,
     .shown = {progress}},
    {.name = "InterruptedByCtrlCTyped",
     .signal = SIGINT,
     .typed = true,
     .screen = dialogue.substr(0, dialogue.size() - 1),
     .status = 1000 + SIGINT,
     .shown = {progress}},
    {.name = "InterruptedWithStandardErrorAPipe",
     .error_to_pipe = true,
     .signal = SIGINT,
     .screen = dialogue.substr(0, dialogue.size() - 1),
     .status = 1000 + SIGINT},
    {.name = "IgnoredSigintStaysIgnored",
     .signal = SIGINT,
     .sigint_ignored = true,
     .screen = dialogue + std::string(zeros_only.line),
     .shown = {progress}},
};

using row_printing::PrintTo;

struct Finished {
  std::string terminal;  // every byte the terminal received
  std::string during;    // what it had received while the input still came
  std::string error;     // what a pipe on standard error received
  int status = -1;
};

// Feeds 64 KiB of zeros into the FIFO ten times a second for three seconds,
// or until stop is set when fed_for is zero.
void feed(const std::string& path, Clock::duration fed_for, const std::atomic<bool>& stop,
          std::atomic<bool>& done) {
  const auto deadline = Clock::now() + 60s;
  int fd = -1;
  while ((fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0 && !stop) {
    if (errno != ENXIO || Clock::now() > deadline) break;
    std::this_thread::sleep_for(1ms);
  }
  if (fd >= 0) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const std::string block(64 << 10, '\0');
    const auto start = Clock::now();
    while (!stop && (fed_for == Clock::duration::zero() || Clock::now() - start < fed_for)) {
      if (::write(fd, block.data(), block.size()) < 0) break;
      std::this_thread::sleep_for(100ms);
    }
    done = true;
    ::close(fd);
  }
  done = true;
}

class Terminal : public testing::TestWithParam<Row> {
 protected:
  Finished run(const Row& row);

  TempDir dir_{"terminal"};
};

Finished Terminal::run(const Row& row) {
  const std::string dir = dir_.path().string();
  const std::string input = dir + "/input";
  if (row.input == Input::fifo) {
    EXPECT_EQ(::mkfifo(input.c_str(), 0644), 0);
  } else {
    // The module slows reads of files whose name ends in "slow".
    const std::string slow = dir + "/input.slow";
    std::ofstream(slow, std::ios::binary) << std::string(2 << 20, '\0');
    EXPECT_EQ(::symlink(slow.c_str(), input.c_str()), 0);
  }
  // Everything the child needs is made before the fork.
  std::vector<std::string> settings;
  if (row.input == Input::slow_file) settings.push_back("LD_PRELOAD=" + options.slow_read_library);
  const Launch launch(settings);
  int error_pipe[2] = {-1, -1};
  if (row.error_to_pipe && ::pipe(error_pipe) != 0) return {};

  winsize size{};
  size.ws_row = 24;
  size.ws_col = columns;
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (pid < 0) return {};
  if (pid == 0) {
    if (row.error_to_pipe) {
      ::dup2(error_pipe[1], 2);
      ::close(error_pipe[0]);
      ::close(error_pipe[1]);
    }
    launch.exec_in(dir.c_str(), row.sigint_ignored);
  }
  ::fcntl(terminal, F_SETFL, O_NONBLOCK);
  if (row.error_to_pipe) {
    ::close(error_pipe[1]);
    ::fcntl(error_pipe[0], F_SETFL, O_NONBLOCK);
  }

  std::atomic<bool> stop = false, fed = false;
  std::thread feeder;
  if (row.input == Input::fifo) {
    const Clock::duration fed_for = row.signal != 0 && !row.sigint_ignored ? 0s : 3s;
    feeder = std::thread(feed, input, fed_for, std::cref(stop), std::ref(fed));
  }

  Finished r;
  bool typed_name = false, signalled = false, during_kept = false;
  Clock::time_point typed_at{};
  const auto deadline = Clock::now() + 60s;
  for (;;) {
    pollfd p{terminal, POLLIN, 0};
    ::poll(&p, 1, 20);
    char buffer[4096];
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n > 0) r.terminal.append(buffer, static_cast<std::size_t>(n));
    // EIO once the program and with it the terminal's last user have gone.
    if (n < 0 && errno != EAGAIN && errno != EINTR) break;
    if (row.error_to_pipe) {
      ssize_t e = 0;
      while ((e = ::read(error_pipe[0], buffer, sizeof buffer)) > 0)
        r.error.append(buffer, static_cast<std::size_t>(e));
    }
    // The name is typed once the prompt is out, as a user would, so that its
    // echo lands below the prompt.
    if (!typed_name && r.terminal.find(std::string(prompt) + "\r\n") != std::string::npos) {
      EXPECT_EQ(::write(terminal, "input\n", 6), 6);
      typed_name = true;
      typed_at = Clock::now();
    }
    if (!during_kept && (fed || signalled)) {
      r.during = r.terminal;
      during_kept = true;
    }
    const bool progress_shows = r.terminal.find(progress) != std::string::npos;
    if (row.signal != 0 && !signalled && typed_name &&
        (progress_shows || (row.error_to_pipe && Clock::now() - typed_at > 1500ms))) {
      r.during = r.terminal;
      during_kept = signalled = true;
      if (row.typed)
        EXPECT_EQ(::write(terminal, "\003", 1), 1);
      else
        ::kill(pid, row.signal);
    }
    if (Clock::now() > deadline) {
      ADD_FAILURE() << "the program did not end within its time";
      ::kill(pid, SIGKILL);
      break;
    }
  }
  // A slow file has no feeding to end: what showed at all showed during the scan.
  if (!during_kept) r.during = r.terminal;
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  r.status = exit_status(raw);
  stop = true;
  if (feeder.joinable()) feeder.join();
  if (row.error_to_pipe) {
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(error_pipe[0], buffer, sizeof buffer)) > 0)
      r.error.append(buffer, static_cast<std::size_t>(n));
    ::close(error_pipe[0]);
  }
  ::close(terminal);
  return r;
}

TEST_P(Terminal, Row) {
  const Row& row = GetParam();
  if (row.input == Input::slow_file && options.slow_read_library.empty())
    GTEST_SKIP() << "no --slow-read library given";
  const Finished r = run(row);
  for (const std::string& text : row.shown) {
    EXPECT_NE(r.during.find(text), std::string::npos)
        << "\"" << text
        << "\" did not show while the scan ran: " << testing::PrintToString(r.during);
  }
  if (row.shown.empty()) {
    EXPECT_EQ(r.terminal.find(progress), std::string::npos) << testing::PrintToString(r.terminal);
  }
  Screen screen = screen_of(r.terminal);
  // The terminal echoes a typed Ctrl-C as ^C, which the program may erase or
  // not, depending on which comes first.
  if (row.typed && screen.text.ends_with("\n^C")) screen.text.resize(screen.text.size() - 3);
  EXPECT_EQ(screen.text, row.screen) << testing::PrintToString(r.terminal);
  EXPECT_LT(screen.widest, columns) << "a line filled its row and may have wrapped";
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.status, row.status);
}

INSTANTIATE_TEST_SUITE_P(Table, Terminal, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

}  // namespace

int main(int argc, char** argv) {
  return run_runner(argc, argv);
}
