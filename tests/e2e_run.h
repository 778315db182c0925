// How the end-to-end table runs the program: its standard input, where its
// standard output goes, its limits, and what it left when it ended.
#pragma once

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_fixtures.h"
#include "e2e_trace.h"
#include "runner.h"

struct Finished {
  int status = -1000;  // the exit status as a POSIX parent sees it
  std::string out{}, err{};
  std::string unread{};  // what the program left of its standard input
};

// How the typed bytes reach the program: through a pipe, or as a file that
// is shared with the test, as `program < names` in a loop would share it; or
// standard input is a directory, whose reads fail.
enum class Input { pipe, file, directory };

// Where standard output goes: a file the test reads, one that fails, or a
// pipe left non-blocking and full, whose reader takes its bytes only after a
// while, and slowly; or a terminal, which takes each line as it is said.
enum class Output { file, full_device, closed, reader_gone, busy_pipe, terminal };

// A descriptor from which the program reads the typed bytes; -1 when none can be made.
inline int typed_input(const std::string& typed, Input how, const std::filesystem::path& scratch) {
  if (how == Input::directory) return ::open(scratch.c_str(), O_RDONLY | O_DIRECTORY);
  if (how == Input::file) {
    const std::filesystem::path path = scratch / "stdin";
    std::ofstream(path, std::ios::binary) << typed;
    return ::open(path.c_str(), O_RDONLY);
  }
  // All of it goes in before the program starts; the table types far less
  // than a pipe holds.
  int in_pipe[2];
  if (typed.size() > 4096 || ::pipe(in_pipe) != 0) return -1;
  const bool written =
      ::write(in_pipe[1], typed.data(), typed.size()) == static_cast<ssize_t>(typed.size());
  ::close(in_pipe[1]);
  if (written) return in_pipe[0];
  ::close(in_pipe[0]);
  return -1;
}

// Whatever is left to read at fd.
inline std::string rest_of(int fd) {
  std::string rest;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
    rest.append(buffer, static_cast<std::size_t>(n));
  return rest;
}

// A pipe set non-blocking and filled until it takes no byte more, as a reader
// that is busy elsewhere leaves it: its ends, and what went into it.
inline bool fill_busy_pipe(int (&ends)[2], std::string& filler) {
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  ::fcntl(ends[1], F_SETFL, ::fcntl(ends[1], F_GETFL) | O_NONBLOCK);
  const std::string block(4096, 'f');
  // Whole blocks first, then single bytes into whatever room is left.
  for (std::size_t size : {block.size(), std::size_t{1}}) {
    ssize_t n = 0;
    while ((n = ::write(ends[1], block.data(), size)) > 0)
      filler.append(block, 0, static_cast<std::size_t>(n));
  }
  return errno == EAGAIN;
}

// Everything that comes out of the pipe until its writers have gone, taken
// only after a while and then a little at a time.
inline std::string drain_slowly(int fd) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string got;
  char buffer[512];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
    got.append(buffer, static_cast<std::size_t>(n));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::close(fd);
  return got;
}

// How a run is watched: the trace of the calls that show its steps goes to
// trace when it is not empty.
struct Watch {
  bool failing_reads = false;  // the fail_read module preloaded
  std::filesystem::path trace{};
  rlim_t data_limit = RLIM_INFINITY;     // the program's RLIMIT_DATA
  rlim_t address_limit = RLIM_INFINITY;  // its RLIMIT_AS
  // Its RLIMIT_FSIZE: the file size past which a write fails. Standard error
  // then goes through a pipe, which no such limit stops, to be seen whole.
  rlim_t file_size_limit = RLIM_INFINITY;
  bool one_processor = false;  // it may run on one processor only
  bool no_cachestat = false;   // cachestat fails with ENOSYS, as before Linux 6.5
  // The program's LC_ALL on Linux, which says how its failure line shows a
  // name's bytes from 0x80 up; Wine takes its code pages from it, so it is
  // left as it is there.
  std::string locale = "C.UTF-8";
  std::vector<std::string> arguments{};  // given after the program's name
};

// From here on, in this process and what it executes, cachestat (whose
// number is the same on every architecture) fails with ENOSYS, as on kernels
// before Linux 6.5; false when the filter cannot be had.
inline bool refuse_cachestat() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 451, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// Runs the program once with in_fd as its standard input, which stays open.
inline Finished run_with(const std::filesystem::path& dir, int in_fd, Output output,
                         const std::filesystem::path& scratch, const Watch& watch = {}) {
  const std::filesystem::path out_path = scratch / "stdout", err_path = scratch / "stderr";
  // Everything the child needs is made before the fork: the feeding threads
  // may hold the allocator's lock at that moment.
  std::vector<std::string> settings;
  if (watch.failing_reads) settings.push_back("LD_PRELOAD=" + runner_options().fail_read_library);
  // The sanitizers' leak check stops the program's threads by tracing them,
  // which a program already traced cannot be.
  if (!watch.trace.empty()) settings.push_back("ASAN_OPTIONS=detect_leaks=0");
  if (!runner_options().windows_build) settings.push_back("LC_ALL=" + watch.locale);
  const Launch launch = watch.trace.empty()
                            ? Launch(settings, {}, watch.arguments)
                            : Launch({}, tracer(watch.trace, settings), watch.arguments);
  // A pipe whose reader has gone before anything is written.
  int gone_pipe[2] = {-1, -1};
  if (output == Output::reader_gone) {
    if (::pipe(gone_pipe) != 0) return {};
    ::close(gone_pipe[0]);
  }
  int busy_pipe[2] = {-1, -1};
  std::string filler;
  if (output == Output::busy_pipe && !fill_busy_pipe(busy_pipe, filler)) return {};
  int err_pipe[2] = {-1, -1};
  if (watch.file_size_limit != RLIM_INFINITY && ::pipe(err_pipe) != 0) return {};
  int terminal = -1, terminal_side = -1;
  if (output == Output::terminal &&
      ::openpty(&terminal, &terminal_side, nullptr, nullptr, nullptr) != 0)
    return {};

  // The first of the processors this process may use, or all of them.
  cpu_set_t processors;
  CPU_ZERO(&processors);
  ::sched_getaffinity(0, sizeof processors, &processors);
  if (watch.one_processor) {
    for (std::size_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &processors)) continue;
      CPU_ZERO(&processors);
      CPU_SET(cpu, &processors);
      break;
    }
  }

  const pid_t pid = ::fork();
  if (pid == 0) {
    if (watch.one_processor && ::sched_setaffinity(0, sizeof processors, &processors) != 0)
      ::_exit(123);
    if (watch.no_cachestat && !refuse_cachestat()) ::_exit(125);
    ::dup2(in_fd, 0);
    if (in_fd != 0) ::close(in_fd);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    switch (output) {
      case Output::file:
        ::dup2(out, 1);
        break;
      case Output::full_device:
        ::dup2(::open("/dev/full", O_WRONLY), 1);
        break;
      case Output::closed:
        ::close(1);
        break;
      case Output::reader_gone:
        ::dup2(gone_pipe[1], 1);
        break;
      case Output::busy_pipe:
        ::dup2(busy_pipe[1], 1);
        break;
      case Output::terminal:
        ::dup2(terminal_side, 1);
        break;
    }
    ::dup2(err_pipe[1] >= 0 ? err_pipe[1] : err, 2);
    for (int fd : {out, err, gone_pipe[1], terminal, terminal_side, err_pipe[0], err_pipe[1]})
      if (fd > 2) ::close(fd);
    for (const auto& [resource, most] : {std::pair{int{RLIMIT_DATA}, watch.data_limit},
                                         std::pair{int{RLIMIT_AS}, watch.address_limit},
                                         std::pair{int{RLIMIT_FSIZE}, watch.file_size_limit}}) {
      const rlimit limit{most, most};
      if (most != RLIM_INFINITY && ::setrlimit(resource, &limit) != 0) ::_exit(124);
    }
    launch.exec_in(dir.c_str());
  }
  if (gone_pipe[1] >= 0) ::close(gone_pipe[1]);
  std::future<std::string> err_drained;
  if (err_pipe[1] >= 0) {
    ::close(err_pipe[1]);
    err_drained = std::async(std::launch::async, [fd = err_pipe[0]] {
      std::string got;
      char buffer[512];
      ssize_t n = 0;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        got.append(buffer, static_cast<std::size_t>(n));
      ::close(fd);
      return got;
    });
  }
  std::future<std::string> drained;
  if (busy_pipe[1] >= 0) {
    ::close(busy_pipe[1]);
    drained = std::async(std::launch::async, drain_slowly, busy_pipe[0]);
  }
  if (terminal_side >= 0) ::close(terminal_side);
  if (terminal >= 0) ::fcntl(terminal, F_SETFL, O_NONBLOCK);

  Finished r;
  // What the terminal received; it ends in EIO once the program is gone.
  const auto take_terminal = [&] {
    char buffer[4096];
    ssize_t n = 0;
    while (terminal >= 0 && (n = ::read(terminal, buffer, sizeof buffer)) > 0)
      r.out.append(buffer, static_cast<std::size_t>(n));
  };
  int raw = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (::waitpid(pid, &raw, WNOHANG) == 0) {
    take_terminal();
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      ADD_FAILURE() << "the program did not end within its time";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  r.status = exit_status(raw);
  if (terminal >= 0) {
    take_terminal();
    ::close(terminal);
  } else {
    r.out = read_all(out_path);
  }
  r.err = err_drained.valid() ? err_drained.get() : read_all(err_path);
  if (drained.valid()) {
    // What the program wrote follows what filled the pipe.
    const std::string got = drained.get();
    r.out = got.starts_with(filler) ? got.substr(filler.size()) : "lost some of the filler";
  }
  return r;
}

inline Finished run_in(const std::filesystem::path& dir, const std::string& typed, Input input,
                       Output output, const std::filesystem::path& scratch, const Watch& watch) {
  for (int attempt = 1;; ++attempt) {
    const int in_fd = typed_input(typed, input, scratch);
    if (in_fd < 0) {
      ADD_FAILURE() << "cannot give the program its standard input";
      return {};
    }
    Finished r = run_with(dir, in_fd, output, scratch, watch);
    r.unread = rest_of(in_fd);
    ::close(in_fd);
    // Wine has, once in some hundreds of runs, ended one with status 1 before
    // the program started: no prompt, nothing on standard error, no byte
    // read. Such a run is made once more; a fault of the program's would show
    // again.
    const bool never_started = runner_options().windows_build && output == Output::file &&
                               r.status == 1 && r.out.empty() && r.err.empty() && r.unread == typed;
    if (!never_started || attempt == 2) return r;
  }
}
