// The program's dialogue as whoever runs it meets it: the prompt, and each
// ending's line, verdict byte, exit status and order of steps. Written out
// here, never taken from the program, so that a change to any of them there
// fails the rows that show it.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

inline constexpr std::string_view prompt = "Input File Name";

// No result file is left.
inline constexpr int no_verdict = -1;

// Any ending whose verdict byte could not be stored.
inline constexpr int status_verdict_lost = -1;
// In place of 0 when standard output failed; the verdict is stored all the same.
inline constexpr int status_output_lost = 2;

struct Ending {
  std::string_view line;
  int verdict;  // the result file's one byte, or no_verdict
  int status;   // the exit status when the verdict was stored
  // What a tracer sees the run do once the name is read, on a console:
  // "store" the verdict byte reaching the result file (it goes out as the
  // file is closed), "close result", "close input", "say" the line,
  // "remove result"; and "open input for writing", which no ending does.
  std::string_view steps;
};

inline constexpr Ending open_error{
    .line = "File Open Error!!", .verdict = no_verdict, .status = 1, .steps = "say"};
inline constexpr Ending result_error{.line = "Result File Open Error!!",
                                     .verdict = no_verdict,
                                     .status = 1,
                                     .steps = "say, close input"};
inline constexpr Ending vacant{.line = "vacant file",
                               .verdict = 0x00,
                               .status = 0,
                               .steps = "say, store, close result, close input"};
inline constexpr Ending found{.line = "End of duty",
                              .verdict = 0x01,
                              .status = 0,
                              .steps = "store, close result, close input, say"};
inline constexpr Ending zeros_only{.line = "End of duty(0)",
                                   .verdict = 0x00,
                                   .status = 0,
                                   .steps = "close input, say, store, close result"};
inline constexpr Ending read_error{.line = "File Read Error!!",
                                   .verdict = no_verdict,
                                   .status = 1,
                                   .steps = "say, close result, close input, remove result"};

// All that standard output shows of a run that ended so: the prompt and the
// ending's line, each ended by nl ("\r\n" on Windows and on a terminal).
inline std::string dialogue(const Ending& ending, std::string_view nl = "\n") {
  return std::string(prompt) + std::string(nl) + std::string(ending.line) + std::string(nl);
}

// Which of the endings standard output shows, or null when it shows none of
// them: the one way for a check to tell what a run ended with.
inline const Ending* ending_shown(std::string_view out,
                                  std::initializer_list<const Ending*> endings,
                                  std::string_view nl = "\n") {
  for (const Ending* ending : endings)
    if (out == dialogue(*ending, nl)) return ending;
  return nullptr;
}
