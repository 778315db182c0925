#include "endings.h"

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
