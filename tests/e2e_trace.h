// The program's steps as a tracer sees them: strace's words to watch a run,
// and the steps its trace shows, in the words of dialogue.h.
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dialogue.h"

// The tracer's words before the program's: the writes, closes and removals,
// each descriptor shown with the file it is open on. The settings go to the
// program alone: a module built for the program may not load into the tracer.
inline std::vector<std::string> tracer(const std::filesystem::path& trace,
                                       const std::vector<std::string>& settings) {
  std::vector<std::string> words = {
      "strace", "-f",           "-qq", "-y",
      "-o",     trace.string(), "-e",  "trace=openat,write,writev,close,unlink,unlinkat"};
  for (const std::string& setting : settings) words.insert(words.end(), {"-E", setting});
  words.push_back("--");
  return words;
}

// The steps that the trace shows the program take after the prompt, in the
// words of dialogue.h: writes and closes of the result file and of any other
// file in dir (the input), the lines said, the result's removal (by its name,
// or through a descriptor of dir).
inline std::string steps_seen(const std::filesystem::path& trace, const std::filesystem::path& dir,
                              const std::string& result) {
  const std::string in_dir = std::filesystem::canonical(dir).string() + "/";
  const std::string result_path = in_dir + result;
  std::ifstream in(trace);
  std::string steps, call;
  const auto add = [&steps](std::string_view step) {
    steps += (steps.empty() ? "" : ", ") + std::string(step);
  };
  // Descriptors that only mark a place on the way to the result (O_PATH):
  // their closes are no step.
  std::set<std::string> places;
  while (std::getline(in, call)) {
    // The call itself, after the process number that -f puts first.
    call.erase(0, call.find_first_not_of("0123456789 "));
    if (call.starts_with("openat(")) {
      const std::size_t equals = call.rfind(") = ");
      if (call.find("O_PATH") != std::string::npos && equals != std::string::npos)
        places.insert(call.substr(equals + 4, call.find('<', equals) - equals - 4));
      continue;
    }
    if (call.starts_with("close(")) {
      const std::string fd = call.substr(6, call.find('<') - 6);
      if (places.erase(fd) > 0) continue;
    }
    const auto on = [&call](std::string_view name, std::string_view file) {
      return call.starts_with(name) &&
             call.find(std::string("<") + std::string(file)) != std::string::npos;
    };
    if (call.starts_with("write(1<") || call.starts_with("writev(1<")) {
      if (call.find(std::string(prompt)) == std::string::npos) add("say");
    } else if (on("write(", result_path + ">")) {
      add("store");
    } else if (on("close(", result_path + ">")) {
      add("close result");
    } else if (on("close(", in_dir)) {
      add("close input");
    } else if (call.starts_with("unlink(\"" + result + "\"") ||
               call.starts_with("unlinkat(AT_FDCWD, \"" + result + "\"") ||
               (call.starts_with("unlinkat(") &&
                call.find("<" + std::filesystem::canonical(dir).string() + ">, \"" + result +
                          "\"") != std::string::npos)) {
      add("remove result");
    }
  }
  return steps;
}
