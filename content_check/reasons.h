// The program's own words for why a run failed or lost something, where no
// error of the system says it: each is the reason of a line on standard
// error, and the man page's DIAGNOSTICS lists them as they are written here.
#pragma once

#include "naming.h"

namespace reasons {

// The typed name went on past what a name holds.
inline constexpr const char* name_too_long = "name longer than 127 bytes, not opened";
static_assert(longest_name == 127, "name_too_long names the cap");

// The result file.
inline constexpr const char* untrusted_link =
    "link in a shared directory owned by another user, not followed";
inline constexpr const char* untrusted_file =
    "file in a shared directory owned by another user, not opened";
inline constexpr const char* replaced_while_opened =
    "replaced by another entry while it was opened";
inline constexpr const char* both_names_lead_to_the_input =
    "both result names lead to the input, which is never written";

// The scan.
inline constexpr const char* no_memory_for_the_scan = "no memory for the scan";
inline constexpr const char* data_ended_short =
    "the data ended short of the file's length and did not go on";

// A write that failed with no error of the system's to say why.
inline constexpr const char* line_not_taken = "the line was not taken";
inline constexpr const char* not_stored = "not stored";

// Said once, with where the manual is, when arguments are given: they are
// ignored.
inline constexpr const char* no_arguments =
    "content_check: takes no arguments, ignored; type the file's name at the prompt";

// Every one of them, for those who check them all.
inline constexpr const char* all[] = {name_too_long,
                                      untrusted_link,
                                      untrusted_file,
                                      replaced_while_opened,
                                      both_names_lead_to_the_input,
                                      no_memory_for_the_scan,
                                      data_ended_short,
                                      line_not_taken,
                                      not_stored};

}  // namespace reasons
