// The program's steps as a tracer sees them: strace's words to watch a run,
// and the steps its trace shows, in the words of dialogue.h.
#pragma once

#include <sys/stat.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dialogue.h"

// The tracer's words before the program's: the opens, every kind of write,
// the closes and the removals, each descriptor shown with the file it is open
// on. The settings go to the program alone: a module built for the program
// may not load into the tracer.
inline std::vector<std::string> tracer(const std::filesystem::path& trace,
                                       const std::vector<std::string>& settings) {
  std::vector<std::string> words = {
      "strace", "-f",           "-qq", "-y",
      "-o",     trace.string(), "-e",  "trace=/^open,/write,close,/^unlink"};
  for (const std::string& setting : settings) words.insert(words.end(), {"-E", setting});
  words.push_back("--");
  return words;
}

// One call as strace shows it: "name(arguments) = result", its parts split.
struct TracedCall {
  std::string name, arguments, result;

  // The descriptor that the first argument or the result is, and the file it
  // is open on: "3</tmp/run/data.bin>" holds 3 and "/tmp/run/data.bin".
  static std::pair<int, std::string> descriptor(std::string_view shown) {
    const std::size_t open = shown.find('<'), close = shown.find('>');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
      return {-1, ""};
    int fd = -1;
    std::from_chars(shown.data(), shown.data() + open, fd);
    return {fd, std::string(shown.substr(open + 1, close - open - 1))};
  }
  std::pair<int, std::string> first() const { return descriptor(arguments); }
  std::pair<int, std::string> made() const { return descriptor(result); }
  // The first string among the arguments: the name a call is given.
  std::string quoted() const {
    const std::size_t from = arguments.find('"');
    if (from == std::string::npos) return {};
    return arguments.substr(from + 1, arguments.find('"', from + 1) - from - 1);
  }
};

// The calls of the trace in the order they were made. A call that another
// thread interrupted is shown in two parts; they are put together again.
inline std::vector<TracedCall> traced_calls(const std::filesystem::path& trace) {
  std::ifstream in(trace);
  std::map<std::string, std::string> unfinished;  // by process
  std::vector<TracedCall> calls;
  std::string line;
  constexpr std::string_view cut = " <unfinished ...>", resumed = " resumed>";
  while (std::getline(in, line)) {
    // The process number that -f puts first.
    const std::size_t space = line.find(' ');
    const std::string process = line.substr(0, space);
    line.erase(0, line.find_first_not_of(' ', space));
    if (line.ends_with(cut)) {
      unfinished[process] = line.substr(0, line.size() - cut.size());
      continue;
    }
    if (line.starts_with("<... ")) {
      const std::size_t end = line.find(resumed);
      if (end == std::string::npos) continue;
      line = unfinished[process] + line.substr(end + resumed.size());
    }
    const std::size_t paren = line.find('('), equals = line.rfind(") = ");
    if (paren == std::string::npos || equals == std::string::npos || equals < paren) continue;
    calls.push_back({line.substr(0, paren), line.substr(paren + 1, equals - paren - 1),
                     line.substr(equals + 4)});
  }
  return calls;
}

// The steps that the trace shows the program take after the prompt, in the
// words of dialogue.h: the lines said, writes into and closes of the result
// (what was opened for writing on its path), closes of the input (what was
// opened on its path), the removal of the result's name, and any open of the
// input for writing, under whatever name: the trace shows the path that a
// descriptor was opened through, which for a hard link is not the input's.
inline std::string steps_seen(const std::filesystem::path& trace, const std::filesystem::path& dir,
                              const std::string& input, const std::string& result) {
  namespace fs = std::filesystem;
  const fs::path where = fs::canonical(dir);
  const std::string input_path = fs::weakly_canonical(where / input).string();
  const std::string result_path = (where / result).string();
  std::set<int> inputs, results;
  struct stat input_file {};
  const bool input_there = ::stat(input_path.c_str(), &input_file) == 0;
  const auto is_input = [&](const std::string& path) {
    struct stat st {};
    return path == input_path || (input_there && ::stat(path.c_str(), &st) == 0 &&
                                  st.st_dev == input_file.st_dev && st.st_ino == input_file.st_ino);
  };
  std::string steps;
  const auto add = [&steps](std::string_view step) {
    steps += (steps.empty() ? "" : ", ") + std::string(step);
  };
  for (const TracedCall& call : traced_calls(trace)) {
    const int fd = call.first().first;
    if (call.name.starts_with("open")) {
      const auto [made, path] = call.made();
      const bool writes = call.arguments.find("O_WRONLY") != std::string::npos ||
                          call.arguments.find("O_RDWR") != std::string::npos;
      if (made >= 0 && path == result_path && writes) results.insert(made);
      // A descriptor of the path alone (O_PATH) only looks at the file.
      const bool looks = call.arguments.find("O_PATH") != std::string::npos;
      if (made >= 0 && path == input_path && !looks) inputs.insert(made);
      if (made >= 0 && writes && is_input(path)) add("open input for writing");
    } else if (call.name.find("write") != std::string::npos) {
      if (fd == 1 && call.arguments.find(prompt) == std::string::npos) add("say");
      if (results.contains(fd)) add("store");
    } else if (call.name == "close") {
      if (results.erase(fd) > 0) add("close result");
      if (inputs.erase(fd) > 0) add("close input");
    } else if (call.name.starts_with("unlink")) {
      // unlink names the entry in the working directory, unlinkat in the
      // directory it is given.
      const std::string at = call.name == "unlink" ? where.string() : call.first().second;
      if ((fs::path(at) / call.quoted()).string() == result_path) add("remove result");
    }
  }
  return steps;
}
