// What the runners that start the real program share: their options, how the
// program is started in a directory of its own, and how its end is read.
//
// Usage of a runner: RUNNER [--windows] [--fail-read=LIBRARY] [--slow-read=LIBRARY] COMMAND...
//   COMMAND: the program, or wine and the .exe; the LIBRARYs: modules that
//   the tests preload into the program (fail_read, slow_read).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

struct RunnerOptions {
  std::vector<std::string> program;  // the command that starts the program
  std::string fail_read_library;     // makes reads of files named "...unreadable" fail
  std::string slow_read_library;     // makes reads of files named "...slow" slow
  bool windows_build = false;        // the program is the Windows build, run under Wine
};

inline RunnerOptions& runner_options() {
  static RunnerOptions options;
  return options;
}

// Reads the options that gtest left; false when no command is given.
inline bool read_runner_options(int argc, char** argv, RunnerOptions& options) {
  int first = 1;
  for (; first < argc && std::string_view(argv[first]).starts_with("--"); ++first) {
    const std::string_view option = argv[first];
    if (option == "--windows")
      options.windows_build = true;
    else if (option.starts_with("--fail-read="))
      options.fail_read_library = option.substr(option.find('=') + 1);
    else if (option.starts_with("--slow-read="))
      options.slow_read_library = option.substr(option.find('=') + 1);
  }
  for (int i = first; i < argc; ++i) options.program.emplace_back(argv[i]);
  // The program runs in another directory: a path given relative to this one
  // must still lead to it, and so must the libraries preloaded into it.
  const auto resolve = [](std::string& path) {
    std::error_code error;
    if (path.find('/') == std::string::npos) return;
    const std::filesystem::path resolved = std::filesystem::canonical(path, error);
    if (!error) path = resolved.string();
  };
  for (std::string& word : options.program) resolve(word);
  resolve(options.fail_read_library);
  resolve(options.slow_read_library);
  return !options.program.empty();
}

// The whole of a runner's main.
inline int run_runner(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!read_runner_options(argc, argv, runner_options())) {
    std::fprintf(stderr,
                 "usage: %s [--windows] [--fail-read=LIBRARY] [--slow-read=LIBRARY] COMMAND...\n",
                 argc > 0 ? argv[0] : "runner");
    return 2;
  }
  // A program that stops reading its pipes must not end the runner.
  std::signal(SIGPIPE, SIG_IGN);
  return RUN_ALL_TESTS();
}

// A command line and environment for the program, made before the fork: the
// child of a process with threads may only make calls that are safe in a
// signal handler, and allocating is not one.
class Launch {
 public:
  // The program as the options give it, after the words of prefix (a tracer,
  // say) and with the arguments after it, with this runner's environment and
  // the settings ("NAME=value") in place of any of the same names.
  explicit Launch(const std::vector<std::string>& settings = {},
                  const std::vector<std::string>& prefix = {},
                  const std::vector<std::string>& arguments = {}) {
    words_ = prefix;
    words_.insert(words_.end(), runner_options().program.begin(), runner_options().program.end());
    words_.insert(words_.end(), arguments.begin(), arguments.end());
    const auto named = [](const std::string& setting, const std::string& other) {
      const std::size_t equals = setting.find('=');
      return other.compare(0, equals + 1, setting, 0, equals + 1) == 0;
    };
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string setting = *e;
      if (std::none_of(settings.begin(), settings.end(),
                       [&](const std::string& own) { return named(own, setting); }))
        environment_.push_back(setting);
    }
    environment_.insert(environment_.end(), settings.begin(), settings.end());
    for (std::string& word : words_) argv_.push_back(word.data());
    argv_.push_back(nullptr);
    for (std::string& e : environment_) envp_.push_back(e.data());
    envp_.push_back(nullptr);
  }
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;

  // In the child, once its descriptors are in place: the signals as a shell
  // leaves them (this runner ignores SIGPIPE), SIGINT ignored when asked, as
  // for a job in the background; then the program, in dir. Never returns.
  [[noreturn]] void exec_in(const char* dir, bool sigint_ignored = false) const {
    for (int s : {SIGPIPE, SIGINT, SIGTERM}) std::signal(s, SIG_DFL);
    if (sigint_ignored) std::signal(SIGINT, SIG_IGN);
    if (::chdir(dir) != 0) ::_exit(125);
    ::execvpe(argv_[0], argv_.data(), envp_.data());
    ::_exit(126);
  }

 private:
  std::vector<std::string> words_, environment_;
  std::vector<char*> argv_, envp_;
};

// The exit status as a POSIX parent sees it, or 1000 + the signal that ended the run.
inline int exit_status(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000 + WTERMSIG(raw);
}
