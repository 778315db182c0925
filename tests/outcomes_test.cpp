// The texts and statuses that callers and scripts rely on, pinned byte for byte.
#include <gtest/gtest.h>

#include "outcomes.h"

namespace {

TEST(Outcomes, KeepTheirExactTextsVerdictsAndStatuses) {
  EXPECT_EQ(prompt_line, "Input File Name");
  struct Expected {
    Outcome outcome;
    const char* line;
    int verdict;
    int status;
  };
  for (const Expected& e :
       {Expected{open_error, "File Open Error!!", no_verdict, 1},
        Expected{vacant, "vacant file", 0x00, 0}, Expected{found, "End of duty", 0x01, 0},
        Expected{zeros_only, "End of duty(0)", 0x00, 0}}) {
    EXPECT_EQ(e.outcome.line, e.line);
    EXPECT_EQ(e.outcome.verdict, e.verdict) << e.line;
    EXPECT_EQ(e.outcome.status, e.status) << e.line;
  }
  EXPECT_EQ(status_verdict_lost, -1);
  EXPECT_EQ(status_output_lost, 2);
}

}  // namespace
