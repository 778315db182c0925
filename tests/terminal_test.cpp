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
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
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

// The screen that the bytes leave on a terminal that wraps at its width and
// cuts its rows when it narrows, as xterm does: a character written into the
// last column leaves the cursor there, and the next one goes to the start of
// the next row; a carriage return goes back to the first column, a newline
// down a row, a backspace one column back; ESC [ C moves a column forward,
// ESC [ K erases to the end of the row, ESC [ J to the end of the screen. Rows
// up to the cursor's and any below that hold text, trailing spaces dropped;
// whether any character went into the last column, where a line may wrap;
// and whether ESC [ J came in a row's first column, which tmux takes on the
// top row for a clear of the whole screen and keeps a copy of.
struct Screen {
  std::string text;
  bool last_column_reached = false;
  bool cleared_from_first_column = false;
};

Screen screen_of(const std::string& bytes, std::size_t width = columns,
                 std::size_t narrowed_at = std::string::npos, std::size_t narrowed_to = 0) {
  std::vector<std::string> lines(1);
  std::size_t row = 0, column = 0;
  bool pending_wrap = false;
  Screen screen;
  const auto down = [&] {
    if (++row == lines.size()) lines.emplace_back();
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == narrowed_at) {
      width = narrowed_to;
      for (std::string& r : lines)
        if (r.size() > width) r.resize(width);
      column = std::min(column, width - 1);
      pending_wrap = false;
    }
    const char c = bytes[i];
    if (c == '\r') {
      column = 0;
      pending_wrap = false;
    } else if (c == '\n') {
      down();
      pending_wrap = false;
    } else if (c == '\b') {
      if (column > 0) --column;
      pending_wrap = false;
    } else if (c == '\033' && bytes.compare(i, 3, "\033[C") == 0) {
      column = std::min(column + 1, width - 1);
      pending_wrap = false;
      i += 2;
    } else if (c == '\033' &&
               (bytes.compare(i, 3, "\033[K") == 0 || bytes.compare(i, 3, "\033[J") == 0)) {
      if (lines[row].size() > column) lines[row].resize(column);
      if (bytes[i + 2] == 'J') {
        lines.resize(row + 1);
        screen.cleared_from_first_column = screen.cleared_from_first_column || column == 0;
      }
      pending_wrap = false;
      i += 2;
    } else {
      if (pending_wrap) {
        down();
        column = 0;
        pending_wrap = false;
      }
      if (lines[row].size() <= column) lines[row].resize(column + 1, ' ');
      lines[row][column] = c;
      if (column + 1 == width) {
        pending_wrap = true;
        screen.last_column_reached = true;
      } else {
        ++column;
      }
    }
  }
  std::size_t last = row;
  for (std::size_t r = 0; r < lines.size(); ++r) {
    lines[r].erase(lines[r].find_last_not_of(' ') + 1);
    if (!lines[r].empty()) last = std::max(last, r);
  }
  for (std::size_t r = 0; r <= last; ++r) screen.text += lines[r] + (r < last ? "\n" : "");
  return screen;
}

TEST(ScreenOf, WrapsErasesAndCutsRowsWhenNarrowed) {
  EXPECT_EQ(screen_of("a\r\nlong line\r         \rEnd\r\n").text, "a\nEnd\n");
  EXPECT_EQ(screen_of("prompt\r\nxy\033[K\r\033[Kdone\r\n").text, "prompt\ndone\n");
  EXPECT_EQ(screen_of("abc\b\bZ").text, "aZc");
  EXPECT_EQ(screen_of("long line\r    \rEnd").text, "End  line");
  EXPECT_EQ(screen_of("abcdef", 4).text, "abcd\nef");
  EXPECT_TRUE(screen_of("abcd", 4).last_column_reached);
  EXPECT_FALSE(screen_of("abc\r\n", 4).last_column_reached);
  EXPECT_EQ(screen_of("abcd\r\n", 4).text, "abcd\n");
  EXPECT_EQ(screen_of("a\r\nlong line\rxy", 80, 12, 4).text, "a\nxyng");
  // ESC [ J takes the cursor's row from the cursor on, and every row below.
  EXPECT_EQ(screen_of("a\r\nabcdefgh\r\033[J", 4).text, "a\nabcd\n");
  EXPECT_TRUE(screen_of("a\r\nabcdefgh\r\033[J", 4).cleared_from_first_column);
  const Screen from_second = screen_of("a\r\nabcdefgh\r\033[C\033[J\r\033[K", 4);
  EXPECT_EQ(from_second.text, "a\nabcd\n");
  EXPECT_FALSE(from_second.cleared_from_first_column);
  EXPECT_EQ(screen_of("ab\r\033[C\033[C\033[Cx", 3).text, "abx");
  // Any other sequence stays on the screen, where no row expects it.
  EXPECT_EQ(screen_of("ab\033[Ax").text, "ab\033[Ax");
}

// --- the run -----------------------------------------------------------------

enum class Input {
  fifo,       // fed with zeros for a while
  slow_file,  // 2 MiB of zeros, read slowly
  slow_fifo,  // a FIFO fed as above, read slowly, whose first read takes all the heap there is
};

// Output paused with Ctrl-S, as a user pauses a terminal to read it, on a
// terminal that another program left non-blocking, then resumed with Ctrl-Q.
enum class Pause {
  none,
  during_scan,   // once the progress shows, for a second or so while the input still comes
  past_its_end,  // once the progress shows, until a second after the input stopped coming
};

// A limit on the program's memory, set with setrlimit.
struct MemoryLimit {
  int resource = -1;  // RLIMIT_DATA or RLIMIT_AS; -1 for none
  rlim_t bytes = 0;
};

struct Row {
  const char* name;
  Input input = Input::fifo;
  bool error_to_pipe = false;   // standard error a pipe instead of the terminal
  int signal = 0;               // sent once the progress shows (or after a while, when it cannot)
  bool typed = false;           // the signal comes as Ctrl-C typed at the terminal
  bool sigint_ignored = false;  // started with SIGINT ignored, as a background job is
  std::string term = "xterm";   // TERM; one that takes no escapes is drawn on with spaces
  std::string screen;           // the final screen
  int status = zeros_only.status;    // the exit status, or 1000 + the signal that ended it
  std::vector<std::string> shown{};  // texts that must show while the scan runs
  MemoryLimit limit{};
  unsigned short columns = 80;  // the terminal's width
  bool whole_fields = false;    // every drawing is checked to be made of whole fields
  Pause pause = Pause::none;
};

// The screen after the name was typed, and after the run ended with its line.
const std::string prompt_and_typed = std::string(prompt) + "\ninput\n";
const std::string ended = prompt_and_typed + std::string(zeros_only.line) + "\n";
const std::string progress = " examined, ";

const Row rows[] = {
    {.name = "FifoFedForThreeSeconds", .screen = ended, .shown = {progress, "/s"}},
    {.name = "StandardErrorAPipeStaysEmpty", .error_to_pipe = true, .screen = ended},
    {.name = "SlowFileOfKnownLength",
     .input = Input::slow_file,
     .screen = ended,
     .shown = {" of 2.0 MiB examined (", "%), ", " s left"}},
    {.name = "InterruptedBySigint",
     .signal = SIGINT,
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT,
     .shown = {progress}},
    {.name = "InterruptedBySigterm",
     .signal = SIGTERM,
     .screen = prompt_and_typed,
     .status = 1000 + SIGTERM,
     .shown = {progress}},
    {.name = "InterruptedByCtrlCTyped",
     .signal = SIGINT,
     .typed = true,
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT,
     .shown = {progress}},
    {.name = "InterruptedWithStandardErrorAPipe",
     .error_to_pipe = true,
     .signal = SIGINT,
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT},
    {.name = "DumbTerminalGetsSpacesOnly", .term = "dumb", .screen = ended, .shown = {progress}},
    {.name = "EmptyTermGetsSpacesOnly", .term = "", .screen = ended, .shown = {progress}},
    {.name = "DumbTerminalInterrupted",
     .signal = SIGINT,
     .term = "dumb",
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT,
     .shown = {progress}},
    {.name = "WholeFieldsAt80",
     .input = Input::slow_file,
     .screen = ended,
     .shown = {" of 2.0 MiB examined (", " s left"},
     .whole_fields = true},
    {.name = "WholeFieldsAt40",
     .input = Input::slow_file,
     .screen = ended,
     .shown = {" of 2.0 MiB examined ("},
     .columns = 40,
     .whole_fields = true},
    {.name = "WholeFieldsAt30",
     .input = Input::slow_file,
     .screen = ended,
     .shown = {" examined"},
     .columns = 30,
     .whole_fields = true},
    {.name = "WholeFieldsAt20",
     .input = Input::slow_file,
     .screen = ended,
     .shown = {" examined"},
     .columns = 20,
     .whole_fields = true},
    {.name = "NothingFitsAt16",
     .input = Input::slow_file,
     .screen = ended,
     .columns = 16,
     .whole_fields = true},
    {.name = "IgnoredSigintStaysIgnored",
     .signal = SIGINT,
     .sigint_ignored = true,
     .screen = ended,
     .shown = {progress}},
    // Drawings that the paused terminal cannot take are left out, and the
    // line goes on once it is resumed; an erasure due while it is paused waits.
    {.name = "PausedDuringTheScan",
     .screen = ended,
     .shown = {progress},
     .pause = Pause::during_scan},
    {.name = "PausedPastTheScansEnd",
     .screen = ended,
     .shown = {progress},
     .pause = Pause::past_its_end},
    {.name = "PausedOnADumbTerminal",
     .term = "dumb",
     .screen = ended,
     .shown = {progress},
     .pause = Pause::past_its_end},
};

using row_printing::PrintTo;

struct Finished {
  std::string terminal;  // every byte the terminal received
  std::string during;    // what it had received while the input still came
  std::string error;     // what a pipe on standard error received
  std::string resumed;   // what it received after a pause ended
  int status = -1;
};

// Feeds 64 KiB of zeros into the FIFO ten times a second for as long as
// fed_for, or until stop is set when fed_for is zero.
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

// The clear of the line's row and every row below before a drawing, after
// its carriage return.
const std::string clear_after_return = "\033[C\033[J\r\033[K";

// Every text that a drawing leaves, after the name was typed: what comes
// between one carriage return and the next, with the clear before it, and any
// spaces that cover a longer line drawn before, taken off. The ending's line,
// which a newline follows, is no drawing.
std::vector<std::string> drawn_texts(const std::string& terminal) {
  std::vector<std::string> texts;
  const std::string typed = "input\r\n";
  const std::size_t after = terminal.find(typed);
  if (after == std::string::npos) return texts;
  std::string drawings = terminal.substr(after + typed.size());
  for (std::size_t at; (at = drawings.find(clear_after_return)) != std::string::npos;)
    drawings.erase(at, clear_after_return.size());
  std::istringstream pieces(drawings);
  for (std::string piece; std::getline(pieces, piece, '\r');) {
    if (piece.starts_with("\n") || pieces.peek() == '\n' || pieces.eof()) continue;
    piece.erase(piece.find_last_not_of(' ') + 1);
    texts.push_back(piece);
  }
  return texts;
}

// The shapes a drawing may take: the bytes examined, with or without the
// length and percentage; then the rate, then the time left, each only with
// what comes before it; or nothing at all.
const std::string size_shape = R"((\d+ B|\d+\.\d [KMGTPE]iB))";
const std::regex whole_fields("(" + size_shape + "( of " + size_shape +
                              R"( examined \(\d+%\)| examined)(, )" + size_shape +
                              R"(/s(, (\d+ s|\d+ min \d+ s|\d+ h \d+ min) left)?)?)?)");

class Terminal : public testing::TestWithParam<Row> {
 protected:
  TempDir dir_{"terminal"};
};

// Whatever the terminal has for us within 20 ms, added to into; false once it
// says EIO: the program, and with it the terminal's last user, has gone.
bool take_screen_bytes(int terminal, std::string& into) {
  pollfd p{terminal, POLLIN, 0};
  ::poll(&p, 1, 20);
  char buffer[4096];
  const ssize_t n = ::read(terminal, buffer, sizeof buffer);
  if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
  return n >= 0 || errno == EAGAIN || errno == EINTR;
}

enum class Job {
  foreground,
  background,             // in a process group of its own, the name on a pipe
  backgrounded_and_back,  // sent to the background once the progress shows, then back
  own_session,            // in a session of its own, as setsid starts it: the terminal is
                          // not its controlling one, and the shell keeps its foreground
};

// Runs the job as a shell would: in a process group of its own, given the
// terminal's foreground or not, which SIGUSR1 takes back and SIGUSR2 gives
// again; or in a session of its own. Ends with the job's exit status. Runs in
// the forked child.
[[noreturn]] void act_as_shell(const Launch& launch, const char* dir, Job job, int name_pipe,
                               bool sigint_ignored) {
  ::signal(SIGTTOU, SIG_IGN);  // as a shell does, to hand the terminal on
  sigset_t waited, previous;
  sigemptyset(&waited);
  for (int s : {SIGUSR1, SIGUSR2, SIGCHLD}) sigaddset(&waited, s);
  ::sigprocmask(SIG_BLOCK, &waited, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (job == Job::own_session)
      ::setsid();
    else
      ::setpgid(0, 0);
    if (job == Job::backgrounded_and_back)
      ::tcsetpgrp(STDIN_FILENO, ::getpid());
    else if (job == Job::background)
      ::dup2(name_pipe, STDIN_FILENO);
    ::signal(SIGTTOU, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    launch.exec_in(dir, sigint_ignored);
  }
  // A leader of a process group could no longer start a session.
  if (job != Job::own_session) ::setpgid(pid, pid);
  if (job == Job::backgrounded_and_back) ::tcsetpgrp(STDIN_FILENO, pid);
  for (;;) {
    int s = 0;
    ::sigwait(&waited, &s);
    if (s == SIGUSR1) ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
    if (s == SIGUSR2) ::tcsetpgrp(STDIN_FILENO, pid);
    int raw = 0;
    if (s == SIGCHLD && ::waitpid(pid, &raw, WNOHANG) == pid)
      ::_exit(WIFEXITED(raw) ? WEXITSTATUS(raw) : 125);
  }
}

// How the program starts on a pseudo-terminal; every row on one starts here,
// and they differ only in these fields.
struct Start {
  std::string term = "xterm";   // TERM; one that takes no escapes is drawn on with spaces
  unsigned short columns = 80;  // the width the terminal tells; 0: none
  MemoryLimit limit{};          // set in the child before the program starts
  bool slow_read = false;       // reads of names ending in "slow" go through the slow_read module
  bool fill_heap = false;       // and its first read takes all the heap there is
  bool error_to_pipe = false;   // standard error a pipe instead of the terminal
  bool sigint_ignored = false;  // started with SIGINT ignored, as a background job is
  bool non_blocking = false;    // the terminal left non-blocking, as another program may leave it
  Job job = Job::foreground;    // else under a parent that acts as the job's shell
};

struct Started {
  pid_t pid = -1;     // the program, or the shell that runs it as a job
  int terminal = -1;  // the terminal's other side, not blocking
  int error = -1;     // the pipe on standard error, not blocking, when asked for
};

// Starts the program in dir on a new pseudo-terminal; a pid of -1 when it
// could not. Everything the child needs is made before the fork.
Started start_on_terminal(const Start& start, const std::string& dir) {
  std::vector<std::string> settings = {"TERM=" + start.term};
  if (start.slow_read) settings.push_back("LD_PRELOAD=" + options.slow_read_library);
  // One heap for every thread, so that the one taken is the one drawn from.
  if (start.fill_heap) {
    settings.push_back("SLOW_READ_FILL_HEAP=1");
    settings.push_back("MALLOC_ARENA_MAX=1");
  }
  const Launch launch(settings);
  int error_pipe[2] = {-1, -1};
  if (start.error_to_pipe && ::pipe(error_pipe) != 0) return {};
  int name_pipe[2] = {-1, -1};
  if (start.job == Job::background) {
    if (::pipe(name_pipe) != 0 || ::write(name_pipe[1], "input\n", 6) != 6) return {};
    ::close(name_pipe[1]);
  }

  winsize size{};
  size.ws_row = start.columns == 0 ? 0 : 24;
  size.ws_col = start.columns;
  Started started;
  started.pid = ::forkpty(&started.terminal, nullptr, nullptr, &size);
  if (started.pid < 0) return {};
  if (started.pid == 0) {
    if (start.limit.resource >= 0) {
      const rlimit limit{.rlim_cur = start.limit.bytes, .rlim_max = start.limit.bytes};
      ::setrlimit(start.limit.resource, &limit);
    }
    if (start.error_to_pipe) {
      ::dup2(error_pipe[1], 2);
      ::close(error_pipe[0]);
      ::close(error_pipe[1]);
    }
    // One open terminal behind standard input, output and error: set on one,
    // the flag holds for all three.
    if (start.non_blocking)
      ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    if (start.job == Job::foreground) launch.exec_in(dir.c_str(), start.sigint_ignored);
    act_as_shell(launch, dir.c_str(), start.job, name_pipe[0], start.sigint_ignored);
  }
  if (name_pipe[0] >= 0) ::close(name_pipe[0]);
  ::fcntl(started.terminal, F_SETFL, O_NONBLOCK);
  if (start.error_to_pipe) {
    ::close(error_pipe[1]);
    ::fcntl(error_pipe[0], F_SETFL, O_NONBLOCK);
    started.error = error_pipe[0];
  }
  return started;
}

// Takes what the terminal receives into received, doing act after each look,
// until the program has gone, or is killed when it outlasts its time; its
// exit status, or 1000 + the signal that ended it.
int watch(const Started& started, std::string& received, const std::function<void()>& act) {
  const auto deadline = Clock::now() + 60s;
  while (take_screen_bytes(started.terminal, received)) {
    act();
    if (Clock::now() > deadline) {
      ADD_FAILURE() << "the program did not end within its time";
      ::kill(started.pid, SIGKILL);
      break;
    }
  }
  int raw = 0;
  ::waitpid(started.pid, &raw, 0);
  return exit_status(raw);
}

// Runs the row in dir.
Finished run(const Row& row, const std::string& dir) {
  const std::string input = dir + "/input";
  if (row.input == Input::fifo) {
    EXPECT_EQ(::mkfifo(input.c_str(), 0644), 0);
  } else if (row.input == Input::slow_fifo) {
    const std::string slow = dir + "/input.slow";
    EXPECT_EQ(::mkfifo(slow.c_str(), 0644), 0);
    EXPECT_EQ(::symlink(slow.c_str(), input.c_str()), 0);
  } else {
    // The module slows reads of files whose name ends in "slow".
    const std::string slow = dir + "/input.slow";
    std::ofstream(slow, std::ios::binary) << std::string(2 << 20, '\0');
    EXPECT_EQ(::symlink(slow.c_str(), input.c_str()), 0);
  }
  const Started started = start_on_terminal({.term = row.term,
                                             .columns = row.columns,
                                             .limit = row.limit,
                                             .slow_read = row.input != Input::fifo,
                                             .fill_heap = row.input == Input::slow_fifo,
                                             .error_to_pipe = row.error_to_pipe,
                                             .sigint_ignored = row.sigint_ignored,
                                             .non_blocking = row.pause != Pause::none},
                                            dir);
  if (started.pid < 0) return {};
  const pid_t pid = started.pid;
  const int terminal = started.terminal;
  const int error = started.error;

  std::atomic<bool> stop = false, fed = false;
  std::thread feeder;
  if (row.input != Input::slow_file) {
    const Clock::duration fed_for = row.signal != 0 && !row.sigint_ignored ? 0s
                                    : row.pause != Pause::none             ? 4s
                                    : row.input == Input::fifo             ? 3s
                                                                           : 1500ms;
    feeder = std::thread(feed, input, fed_for, std::cref(stop), std::ref(fed));
  }

  Finished r;
  bool typed_name = false, signalled = false, during_kept = false;
  Clock::time_point typed_at{}, paused_at{}, fed_at{};
  bool paused = false, resumed = false;
  std::size_t resumed_at = std::string::npos;
  r.status = watch(started, r.terminal, [&] {
    if (row.error_to_pipe) {
      char buffer[4096];
      ssize_t e = 0;
      while ((e = ::read(error, buffer, sizeof buffer)) > 0)
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
    // The terminal's own Ctrl-S and Ctrl-Q (IXON), typed as a user would.
    if (row.pause != Pause::none && !paused && progress_shows) {
      EXPECT_EQ(::write(terminal, "\023", 1), 1);
      paused = true;
      paused_at = Clock::now();
    }
    if (fed && fed_at == Clock::time_point{}) fed_at = Clock::now();
    if (paused && !resumed &&
        (row.pause == Pause::during_scan
             ? Clock::now() - paused_at > 1200ms
             : fed_at != Clock::time_point{} && Clock::now() - fed_at > 1s)) {
      EXPECT_FALSE(row.pause == Pause::during_scan && fed) << "the scan ended while paused";
      EXPECT_EQ(::write(terminal, "\021", 1), 1);
      resumed = true;
      resumed_at = r.terminal.size();
    }
    if (row.signal != 0 && !signalled && typed_name &&
        (progress_shows || (row.error_to_pipe && Clock::now() - typed_at > 1500ms))) {
      r.during = r.terminal;
      during_kept = signalled = true;
      if (row.typed)
        EXPECT_EQ(::write(terminal, "\003", 1), 1);
      else
        ::kill(pid, row.signal);
    }
  });
  // A slow file has no feeding to end: what showed at all showed during the scan.
  if (!during_kept) r.during = r.terminal;
  if (resumed_at != std::string::npos) r.resumed = r.terminal.substr(resumed_at);
  stop = true;
  if (feeder.joinable()) feeder.join();
  if (row.error_to_pipe) {
    char buffer[4096];
    ssize_t n = 0;
    while ((n = ::read(error, buffer, sizeof buffer)) > 0)
      r.error.append(buffer, static_cast<std::size_t>(n));
    ::close(error);
  }
  ::close(terminal);
  return r;
}

TEST_P(Terminal, Row) {
  const Row& row = GetParam();
  if (row.input == Input::slow_file && options.slow_read_library.empty())
    GTEST_SKIP() << "no --slow-read library given";
  const Finished r = run(row, dir_.path().string());
  for (const std::string& text : row.shown) {
    EXPECT_NE(r.during.find(text), std::string::npos)
        << "\"" << text
        << "\" did not show while the scan ran: " << testing::PrintToString(r.during);
  }
  if (row.shown.empty()) {
    EXPECT_EQ(r.terminal.find(progress), std::string::npos) << testing::PrintToString(r.terminal);
  }
  if (row.pause != Pause::none) {
    EXPECT_NE(r.resumed, "") << "never paused and resumed: " << testing::PrintToString(r.terminal);
  }
  // Resumed while the scan still runs, the line is drawn again: a drawing
  // left out broke nothing. Two drawings, since one may have been under way
  // as the pause came.
  if (row.pause == Pause::during_scan) {
    const std::size_t first = r.resumed.find(progress);
    EXPECT_NE(first, std::string::npos) << testing::PrintToString(r.resumed);
    EXPECT_NE(r.resumed.find(progress, first + 1), std::string::npos)
        << "not drawn again after the pause: " << testing::PrintToString(r.resumed);
  }
  Screen screen = screen_of(r.terminal, row.columns);
  // The terminal echoes a typed Ctrl-C as ^C, which the program may erase or
  // not, depending on which comes first.
  if (row.typed && screen.text.ends_with("\n^C")) screen.text.resize(screen.text.size() - 2);
  EXPECT_EQ(screen.text, row.screen) << testing::PrintToString(r.terminal);
  EXPECT_FALSE(screen.last_column_reached) << "a line filled its row and may have wrapped";
  EXPECT_FALSE(screen.cleared_from_first_column)
      << "ESC [ J in the first column: " << testing::PrintToString(r.terminal);
  EXPECT_EQ(r.error, "");
  EXPECT_EQ(r.status, row.status);
  if (row.term.empty() || row.term == "dumb") {
    EXPECT_EQ(r.terminal.find('\033'), std::string::npos) << testing::PrintToString(r.terminal);
  }
  if (row.whole_fields) {
    const std::vector<std::string> texts = drawn_texts(r.terminal);
    EXPECT_FALSE(texts.empty()) << "nothing drawn: " << testing::PrintToString(r.terminal);
    for (const std::string& text : texts) {
      EXPECT_TRUE(std::regex_match(text, whole_fields)) << "part of a field: \"" << text << "\"";
      EXPECT_LT(text.size(), row.columns) << text;
      // Of the file read slowly, a drawing has examined at least 64 KiB:
      // "64.0 KiB examined" has no room short of the 17th column.
      if (row.columns <= 17) {
        EXPECT_EQ(text, "");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Terminal, testing::ValuesIn(rows),
                         [](const testing::TestParamInfo<Row>& row) { return row.param.name; });

// --- drawing when the heap has nothing left ----------------------------------
//
// The program runs under a limit on its memory, over a FIFO read slowly whose
// first read takes all the heap that the limit leaves: from then on nothing
// may come from the heap, and the line must still be drawn and erased. Each
// run that got as far as its prompt must end with one of the program's lines
// and its status, never by abort; below some limit it cannot even start.

// The limits tried: every step from the first to the last.
std::vector<MemoryLimit> limits(int resource, rlim_t first, rlim_t last, rlim_t step) {
  std::vector<MemoryLimit> all;
  for (rlim_t bytes = first; bytes <= last; bytes += step) all.push_back({resource, bytes});
  return all;
}

TEST(TightMemory, EveryRunThatPromptsEndsWithItsLine) {
  if (options.slow_read_library.empty()) GTEST_SKIP() << "no --slow-read library given";
  std::vector<MemoryLimit> tried = limits(RLIMIT_DATA, 64 << 10, 512 << 10, 8 << 10);
  for (const MemoryLimit& limit : limits(RLIMIT_AS, 2 << 20, 4 << 20, 128 << 10))
    tried.push_back(limit);
  const Ending endings[] = {zeros_only, read_error, open_error, result_error};
  std::atomic<std::size_t> next = 0, prompted = 0, drawn = 0;
  // The runs wait on the feeding most of the time: a few at once.
  const auto try_limits = [&] {
    for (std::size_t i; (i = next++) < tried.size();) {
      const MemoryLimit limit = tried[i];
      const std::string what = (limit.resource == RLIMIT_DATA ? "data limit " : "address space ") +
                               std::to_string(limit.bytes >> 10) + " KiB";
      const TempDir dir("tight-memory");
      const Row row = {.name = "",
                       .input = Input::slow_fifo,
                       .term = i % 2 == 0 ? "xterm" : "dumb",
                       .screen = "",
                       .limit = limit};
      const Finished r = run(row, dir.path().string());
      if (r.terminal.find(std::string(prompt) + "\r\n") == std::string::npos) continue;
      ++prompted;
      if (r.terminal.find(progress) != std::string::npos) ++drawn;
      const std::string text = screen_of(r.terminal).text;
      // A failure ending says why on standard error, the same terminal, in
      // one line before its own.
      const std::size_t reason_end = text.find('\n', prompt_and_typed.size());
      const bool reason_given = text.compare(prompt_and_typed.size(), 15, "content_check: ") == 0 &&
                                reason_end != std::string::npos;
      const Ending* ending = std::find_if(std::begin(endings), std::end(endings), [&](auto& e) {
        const std::string line = std::string(e.line) + "\n";
        return e.status == 1 ? reason_given && text.substr(reason_end + 1) == line
                             : text == prompt_and_typed + line;
      });
      if (ending == std::end(endings)) {
        ADD_FAILURE() << what << ": no line of the program's at the end: "
                      << testing::PrintToString(r.terminal);
      } else {
        EXPECT_EQ(r.status, ending->status) << what << ": " << ending->line;
      }
      EXPECT_EQ(r.terminal.find("terminate"), std::string::npos) << what;
    }
  };
  std::vector<std::thread> runners;
  for (int i = 0; i < 4; ++i) runners.emplace_back(try_limits);
  for (std::thread& t : runners) t.join();
  // A program that cannot start under any of the limits (a sanitizer's, which
  // maps far more than these) has nothing to show here.
  if (prompted == 0) GTEST_SKIP() << "the program cannot start under any of these limits";
  // Else the limits tried have all gone stale, and the rows show nothing.
  EXPECT_GT(drawn, 0u) << "no run drew its line; " << prompted << " reached the prompt";
}

// --- the terminal's size, and runs in the background ---------------------------
//
// Each row runs the program once on a pseudo-terminal whose width the test
// sets, narrows, or leaves untold, or in a process group that is not the
// terminal's foreground, as a shell runs a job with `&`.

const std::string prompt_bytes = std::string(prompt) + "\r\n";
const std::string typed_echo = "input\r\n";
const std::string zeros_only_bytes = std::string(zeros_only.line) + "\r\n";

struct SizeRow {
  const char* name;
  unsigned short columns = 80;     // the width the terminal tells at the start; 0: none
  unsigned short narrowed_to = 0;  // the width it narrows to once the progress shows
  int signal = 0;                  // sent once the progress shows at the narrowed width
  bool signal_at_once = false;     // sent as the terminal narrows, before any drawing there
  Job job = Job::foreground;
  std::string term = "xterm";  // TERM
  bool quick = false;          // the input is a file of 4 KiB of zeros, not a FIFO fed for seconds
  bool progress = true;        // whether the progress must show at all
  std::string terminal{};      // when not empty: every byte the terminal must receive
  std::string screen{};        // when not empty: the final screen
  int status = 0;              // the exit status, or 1000 + the signal that ended it
};

const SizeRow size_rows[] = {
    {.name = "NarrowedDuringTheScan", .narrowed_to = 20, .screen = ended},
    {.name = "NarrowedThenInterrupted",
     .narrowed_to = 20,
     .signal = SIGINT,
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT},
    {.name = "NarrowedOnADumbTerminal", .narrowed_to = 20, .term = "dumb", .screen = ended},
    {.name = "NarrowedThenInterruptedOnADumbTerminal",
     .narrowed_to = 20,
     .signal = SIGINT,
     .term = "dumb",
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT},
    {.name = "InterruptedAsTheTerminalNarrows",
     .narrowed_to = 20,
     .signal = SIGINT,
     .signal_at_once = true,
     .screen = prompt_and_typed,
     .status = 1000 + SIGINT},
    {.name = "EndedWithinTheFirstSecondDrawsNothing",
     .quick = true,
     .progress = false,
     .terminal = prompt_bytes + typed_echo + zeros_only_bytes},
    {.name = "NoWindowSizeIsTakenFor80Columns", .columns = 0, .screen = ended},
    {.name = "OneColumnDrawsNothing",
     .columns = 1,
     .progress = false,
     .terminal = prompt_bytes + typed_echo + zeros_only_bytes},
    {.name = "BackgroundJobDrawsNothing",
     .job = Job::background,
     .progress = false,
     .terminal = prompt_bytes + zeros_only_bytes},
    {.name = "BackgroundedAndBroughtBack", .job = Job::backgrounded_and_back, .screen = ended},
    // Its standard error is a terminal, but not its own: nothing of the line
    // may reach the row where the shell that holds it shows its prompt.
    {.name = "TerminalNotItsOwnDrawsNothing",
     .job = Job::own_session,
     .progress = false,
     .terminal = prompt_bytes + typed_echo + zeros_only_bytes},
};

struct SizedRun {
  std::string terminal;                         // every byte the terminal received
  std::size_t narrowed_at = std::string::npos;  // how many of them came before it narrowed
  std::string after_narrowing;                  // what came after, up to the signal
  std::string in_background;                    // what came while the job was in the background
  std::string back_in_foreground;               // and after it was brought back
  std::string verdict;                          // what test.fzz holds
  int status = -1;
};

class TerminalSize : public testing::TestWithParam<SizeRow> {
 protected:
  SizedRun run(const SizeRow& row);
  TempDir dir_{"terminal-size"};
};

SizedRun TerminalSize::run(const SizeRow& row) {
  const std::string input = (dir_.path() / "input").string();
  if (row.quick)
    std::ofstream(input, std::ios::binary) << std::string(4096, '\0');
  else
    EXPECT_EQ(::mkfifo(input.c_str(), 0644), 0);
  const Started started = start_on_terminal(
      {.term = row.term, .columns = row.columns, .job = row.job}, dir_.path().string());
  if (started.pid < 0) return {};
  const pid_t pid = started.pid;
  const int terminal = started.terminal;

  std::atomic<bool> stop = false, fed = false;
  std::thread feeder;
  if (!row.quick) {
    const Clock::duration fed_for =
        row.signal != 0 ? 0s : (row.job == Job::backgrounded_and_back ? 5s : 3s);
    feeder = std::thread(feed, input, fed_for, std::cref(stop), std::ref(fed));
  }

  SizedRun r;
  bool typed = row.job == Job::background, signalled = false;
  std::size_t sent_back_at = 0, brought_back_at = 0;
  Clock::time_point shown_at{};
  r.status = watch(started, r.terminal, [&] {
    if (!typed && r.terminal.find(prompt_bytes) != std::string::npos) {
      EXPECT_EQ(::write(terminal, "input\n", 6), 6);
      typed = true;
    }
    const bool shows = r.terminal.find(progress) != std::string::npos;
    if (shows && shown_at == Clock::time_point{}) {
      shown_at = Clock::now();
      // Just after a drawing, so that the next one, half a second away, is
      // the first at the new width.
      if (row.narrowed_to != 0) {
        winsize narrower{};
        EXPECT_EQ(::ioctl(terminal, TIOCGWINSZ, &narrower), 0);
        narrower.ws_col = row.narrowed_to;
        EXPECT_EQ(::ioctl(terminal, TIOCSWINSZ, &narrower), 0);
        r.narrowed_at = r.terminal.size();
        if (row.signal_at_once) {
          ::kill(pid, row.signal);
          signalled = true;
        }
      }
      if (row.job == Job::backgrounded_and_back) ::kill(pid, SIGUSR1);
    }
    if (row.job == Job::backgrounded_and_back && shown_at != Clock::time_point{}) {
      // What a drawing under way may still deliver is left out.
      if (sent_back_at == 0 && Clock::now() - shown_at > 200ms) sent_back_at = r.terminal.size();
      if (brought_back_at == 0 && Clock::now() - shown_at > 1700ms) {
        brought_back_at = r.terminal.size();
        ::kill(pid, SIGUSR2);
      }
    }
    if (row.signal != 0 && !signalled && r.narrowed_at != std::string::npos &&
        r.terminal.find(" examined", r.narrowed_at) != std::string::npos) {
      ::kill(pid, row.signal);
      signalled = true;
      r.after_narrowing = r.terminal.substr(r.narrowed_at);
    }
  });
  if (r.narrowed_at != std::string::npos && !signalled)
    r.after_narrowing = r.terminal.substr(r.narrowed_at);
  if (sent_back_at != 0 && brought_back_at != 0) {
    r.in_background = r.terminal.substr(sent_back_at, brought_back_at - sent_back_at);
    r.back_in_foreground = r.terminal.substr(brought_back_at);
  }
  stop = true;
  if (feeder.joinable()) feeder.join();
  ::close(terminal);
  r.verdict = read_all(dir_.path() / "test.fzz");
  return r;
}

TEST_P(TerminalSize, Row) {
  const SizeRow& row = GetParam();
  const SizedRun r = run(row);
  const std::string all = testing::PrintToString(r.terminal);
  EXPECT_EQ(r.terminal.find(progress) != std::string::npos, row.progress) << all;
  if (!row.terminal.empty()) {
    EXPECT_EQ(r.terminal, row.terminal);
  }
  const std::size_t width = row.columns == 0 ? 80 : row.columns;
  const Screen screen = screen_of(r.terminal, width, r.narrowed_at, row.narrowed_to);
  if (!row.screen.empty()) {
    EXPECT_EQ(screen.text, row.screen) << all;
    EXPECT_FALSE(screen.last_column_reached) << "a line filled its row: " << all;
    EXPECT_FALSE(screen.cleared_from_first_column) << "ESC [ J in the first column: " << all;
  }
  if (row.narrowed_to != 0 && !row.signal_at_once) {
    EXPECT_NE(r.after_narrowing.find(" examined"), std::string::npos)
        << "no drawing at the new width: " << all;
  }
  if (row.job == Job::backgrounded_and_back) {
    EXPECT_EQ(r.in_background, "") << "drawn from the background";
    EXPECT_NE(r.back_in_foreground.find(progress), std::string::npos)
        << "not drawn again in the foreground: " << all;
  }
  EXPECT_EQ(r.status, row.status);
  if (row.status == 0) {
    EXPECT_EQ(r.verdict, std::string(1, '\0'));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, TerminalSize, testing::ValuesIn(size_rows),
                         [](const testing::TestParamInfo<SizeRow>& row) { return row.param.name; });

// --- a terminal emulator that re-flows its rows -------------------------------
//
// Each row runs the program in tmux, which re-flows its rows when its window
// narrows or widens, as most desktop terminals and the Windows console do: a
// line drawn at 80 columns becomes several rows at 20, with the cursor where
// the text put it. The screen is read from tmux itself, its wrapped rows
// joined. The program runs under this runner (--status-to), which waits for
// it, writes down how it ended, since tmux keeps no signal that ended a pane,
// and keeps the window open without a word of its own. This is the one run
// that does not go through start_on_terminal: tmux itself must start the
// pane's process, on a terminal of its own with its own TERM, so the runner
// starts the program with the same Launch, from inside the pane.

struct ReflowRow {
  const char* name;
  std::vector<unsigned short> widths{};  // the window's widths in turn once the progress shows
  int signal = 0;                        // sent once the last width has had a drawing
  bool typed = false;                    // the signal comes as Ctrl-C typed in the window
  std::string screen;                    // the final screen, wrapped rows joined
  int status = zeros_only.status;
  // The screen cleared once the name is typed, as clear clears it, pushing
  // its rows into tmux's history: the line lies on the top row.
  bool cleared = false;
  // Output paused with Ctrl-S once the progress shows, on a terminal left
  // non-blocking, until a second after the input stopped coming.
  bool paused = false;
  // Started in a session of its own (setsid), on a terminal not its own: the
  // line must never show.
  bool own_session = false;
};

const std::string reflow_dialogue = std::string(prompt) + "\ninput";

const ReflowRow reflow_rows[] = {
    {.name = "NarrowedTo20", .widths = {20}, .screen = ended.substr(0, ended.size() - 1)},
    {.name = "NarrowedTo30", .widths = {30}, .screen = ended.substr(0, ended.size() - 1)},
    {.name = "NarrowedThenWidened",
     .widths = {20, 80},
     .screen = ended.substr(0, ended.size() - 1)},
    {.name = "NarrowedThenSigterm",
     .widths = {20},
     .signal = SIGTERM,
     .screen = reflow_dialogue,
     .status = 1000 + SIGTERM},
    {.name = "NarrowedThenCtrlC",
     .widths = {20},
     .signal = SIGINT,
     .typed = true,
     .screen = reflow_dialogue,
     .status = 1000 + SIGINT},
    // On the top row, where tmux (scroll-on-clear, on by default) takes a
    // clear to the end of the screen from the first column for a clear of the
    // whole screen and pushes a copy of it into its history: nothing of the
    // line may be left there, by a redrawing, the erasure or an interruption.
    // (Narrowed there, tmux itself pushes the line's first rows into its
    // history as it re-flows them, where nothing can reach them.)
    {.name = "OnTheTopRow", .screen = ended.substr(0, ended.size() - 1), .cleared = true},
    {.name = "OnTheTopRowThenSigterm",
     .signal = SIGTERM,
     .screen = reflow_dialogue,
     .status = 1000 + SIGTERM,
     .cleared = true},
    {.name = "PausedPastTheScansEnd", .screen = ended.substr(0, ended.size() - 1), .paused = true},
    {.name = "TerminalNotItsOwnDrawsNothing",
     .screen = ended.substr(0, ended.size() - 1),
     .own_session = true},
};

// Runs tmux on the server at the socket given with the words given; what it
// printed, or nothing when it could not start. The output goes through a file:
// the server that a first command starts keeps its standard output open.
std::string tmux(const std::string& server, const std::vector<std::string>& words) {
  std::vector<std::string> all = {"tmux", "-S", server, "-f", "/dev/null"};
  all.insert(all.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& w : all) argv.push_back(w.data());
  argv.push_back(nullptr);
  char path[] = "/tmp/content_check_tmux_XXXXXX";
  const int out = ::mkstemp(path);
  if (out < 0) return "";
  ::unlink(path);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, "tmux", &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  std::string said;
  if (spawned == 0) {
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    char buffer[4096];
    ssize_t n = 0;
    off_t at = 0;
    while ((n = ::pread(out, buffer, sizeof buffer, at)) > 0) {
      said.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
  }
  ::close(out);
  return said;
}

// The screen as tmux shows it, with the rows that went into its history as it
// re-flowed: wrapped rows joined, trailing spaces and empty rows dropped.
std::string tmux_screen(const std::string& server) {
  std::istringstream lines(tmux(server, {"capture-pane", "-p", "-J", "-S", "-"}));
  std::string text, row;
  while (std::getline(lines, row)) {
    row.erase(row.find_last_not_of(' ') + 1);
    text += row + "\n";
  }
  text.erase(text.find_last_not_of('\n') + 1);
  return text;
}

class Reflow : public testing::TestWithParam<ReflowRow> {
 protected:
  TempDir dir_{"reflow"};
};

TEST_P(Reflow, LeavesOnlyTheDialogue) {
  const ReflowRow& row = GetParam();
  if (tmux("/nonexistent", {"-V"}).find("tmux") == std::string::npos)
    GTEST_SKIP() << "tmux is not installed";
  const std::string dir = dir_.path().string();
  // The server's socket lies in the row's own directory, and goes with it.
  const std::string server = dir + "/tmux";
  const std::string input = dir + "/input", status_file = dir + "/status";
  ASSERT_EQ(::mkfifo(input.c_str(), 0644), 0);

  std::vector<std::string> start = {"new-session",
                                    "-d",
                                    "-x",
                                    "80",
                                    "-y",
                                    "24",
                                    "-c",
                                    dir,
                                    "/proc/self/exe",
                                    "--status-to=" + status_file};
  start[8] = std::filesystem::read_symlink("/proc/self/exe").string();
  if (row.paused) start.push_back("--non-blocking");
  if (row.own_session) start.push_back("--own-session");
  start.insert(start.end(), options.program.begin(), options.program.end());
  tmux(server, start);
  struct Server {
    std::string name;
    ~Server() { tmux(name, {"kill-server"}); }
  } const kill_at_end{server};

  std::atomic<bool> stop = false, fed = false;
  std::thread feeder(feed, input, row.signal != 0 ? 0s : 4s, std::cref(stop), std::ref(fed));
  const auto deadline = Clock::now() + 60s;
  const auto wait_for = [&](auto ready) {
    while (!ready()) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  };
  bool ok = wait_for([&] { return tmux_screen(server).find(prompt) != std::string::npos; });
  if (ok) {
    tmux(server, {"send-keys", "-l", "input"});
    tmux(server, {"send-keys", "Enter"});
  }
  if (ok && row.cleared) {
    // Once the Enter's echo has taken the cursor below the name, well before
    // the first drawing, a second after the scan began. send-keys -R resets
    // the pane as clear does, through the same clear of the screen.
    ok = wait_for([&] { return tmux(server, {"display-message", "-p", "#{cursor_y}"}) == "2\n"; });
    tmux(server, {"send-keys", "-R"});
  }
  if (ok && row.own_session) {
    // Looked at every 50 ms while the input comes, the line would show in
    // one look or more of every half second of it.
    bool shown = false;
    ok = wait_for([&] {
      shown = shown || tmux_screen(server).find(progress) != std::string::npos;
      return std::filesystem::exists(status_file);
    });
    EXPECT_FALSE(shown) << "drawn on a terminal that is not its own";
  } else if (ok) {
    ok = wait_for([&] { return tmux_screen(server).find(progress) != std::string::npos; });
  }
  if (ok && row.paused) {
    tmux(server, {"send-keys", "C-s"});
    ok = wait_for([&] { return fed.load(); });
    std::this_thread::sleep_for(1s);
    tmux(server, {"send-keys", "C-q"});
  }
  for (std::size_t i = 0; ok && i < row.widths.size(); ++i) {
    tmux(server, {"resize-window", "-x", std::to_string(row.widths[i])});
    // A drawing comes every half second: let one come at this width.
    std::this_thread::sleep_for(700ms);
  }
  if (ok && row.signal != 0) {
    if (row.typed)
      tmux(server, {"send-keys", "C-c"});
    else
      ::kill(-std::stoi(tmux(server, {"display-message", "-p", "#{pane_pid}"})), row.signal);
  }
  ok = ok && wait_for([&] { return std::filesystem::exists(status_file); });
  stop = true;
  feeder.join();
  ASSERT_TRUE(ok) << "the run did not get on within its time: " << tmux_screen(server);
  std::string screen = tmux_screen(server);
  // tmux echoes a typed Ctrl-C as ^C, which the program may erase or not,
  // depending on which comes first.
  if (row.typed && screen.ends_with("\n^C")) screen.resize(screen.size() - 3);
  EXPECT_EQ(screen, row.screen);
  std::ifstream status(status_file);
  int ended_with = -1;
  status >> ended_with;
  EXPECT_EQ(ended_with, row.status);
}

INSTANTIATE_TEST_SUITE_P(Table, Reflow, testing::ValuesIn(reflow_rows),
                         [](const testing::TestParamInfo<ReflowRow>& row) {
                           return row.param.name;
                         });

// Runs the command and writes down how it ended (an exit status, or 1000 +
// the signal that ended it), ignoring the signals sent to the whole group
// meanwhile; then waits to be ended, so that the terminal stays as the
// command left it. Before the command, --non-blocking leaves the terminal
// non-blocking, as another program may leave it, and --own-session starts
// the command in a session of its own, as setsid does.
[[noreturn]] void run_writing_status(const char* file, char** command) {
  bool own_session = false;
  for (; *command != nullptr && std::string_view(*command).starts_with("--"); ++command) {
    if (std::string_view(*command) == "--non-blocking")
      ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    own_session = own_session || std::string_view(*command) == "--own-session";
  }
  std::vector<std::string> words;
  for (char** word = command; *word != nullptr; ++word) words.emplace_back(*word);
  const Launch launch({}, words);
  // Ignored before the fork, not after it: a signal sent to the group in
  // between would end this runner, and with it the pane, so that no status
  // is ever written. exec_in gives the command their defaults again.
  for (int s : {SIGINT, SIGTERM}) std::signal(s, SIG_IGN);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (own_session) ::setsid();
    launch.exec_in(".");
  }
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
  }
  const std::string partial = std::string(file) + ".partial";
  std::ofstream(partial) << exit_status(raw) << "\n";
  std::filesystem::rename(partial, file);
  for (;;) ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view status_option = "--status-to=";
  if (argc > 2 && std::string_view(argv[1]).starts_with(status_option))
    run_writing_status(argv[1] + status_option.size(), argv + 2);
  return run_runner(argc, argv);
}
