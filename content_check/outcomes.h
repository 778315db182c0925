// The console lines, verdict bytes and exit statuses of every ending, in one
// table that the run and its tests both read.
#pragma once

#include <string_view>

inline constexpr std::string_view prompt_line = "Input File Name";

// No result file is left on this ending.
inline constexpr int no_verdict = -1;

struct Outcome {
  std::string_view line;
  int verdict;  // the result file's one byte, or no_verdict
  int status;   // the exit status when the verdict was stored
};

inline constexpr Outcome open_error{"File Open Error!!", no_verdict, 1};
inline constexpr Outcome result_error{"Result File Open Error!!", no_verdict, 1};
inline constexpr Outcome read_error{"File Read Error!!", no_verdict, 1};
inline constexpr Outcome vacant{"vacant file", 0x00, 0};
inline constexpr Outcome found{"End of duty", 0x01, 0};
inline constexpr Outcome zeros_only{"End of duty(0)", 0x00, 0};

// The exit status of any ending whose verdict byte could not be stored.
inline constexpr int status_verdict_lost = -1;

// The exit status in place of 0 when standard output failed, so that nobody
// saw the outcome line: the verdict is stored all the same. A status of 1 or
// status_verdict_lost says more and is kept.
inline constexpr int status_output_lost = 2;
