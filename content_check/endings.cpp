// The endings carried out step by step, and the line that says why a
// failure ending came.
#include "endings.h"

#include <algorithm>
#include <cstdio>

#include "naming.h"

int end_with(const Ending& ending, EndingActions& actions) {
  const bool has_verdict = ending.verdict != no_verdict;
  bool stored = true;  // the verdict byte written and its file closed cleanly
  for (const Step step : ending.steps) {
    switch (step) {
      case Step::store_verdict:
        stored = actions.store_verdict(ending.verdict) && stored;
        break;
      case Step::close_result:
        // Only a close that has a verdict to keep can lose it.
        stored = (actions.close_result() || !has_verdict) && stored;
        break;
      case Step::close_input:
        actions.close_input();
        break;
      case Step::say_line:
        actions.say(ending.line);
        break;
      case Step::remove_result:
        actions.remove_result();
        break;
    }
  }
  return has_verdict && !stored ? status_verdict_lost : ending.status;
}

std::string_view failure_line(FailureLine& into, std::string_view name, std::string_view reason,
                              bool name_cut) {
  // Into the array itself, whose size the checked snprintf then knows.
  const int written =
      name_cut ? std::snprintf(into.text, sizeof into.text,
                               "content_check: %.*s: %.*s (name longer than %u bytes, cut there)",
                               static_cast<int>(name.size()), name.data(),
                               static_cast<int>(reason.size()), reason.data(),
                               static_cast<unsigned>(longest_name))
               : std::snprintf(into.text, sizeof into.text, "content_check: %.*s: %.*s",
                               static_cast<int>(name.size()), name.data(),
                               static_cast<int>(reason.size()), reason.data());
  if (written < 0) return {};
  return {into.text, std::min(static_cast<std::size_t>(written), sizeof into.text - 1)};
}
