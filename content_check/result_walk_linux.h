// The walk to the result file with the caller's user id and the input passed
// in, so that tests can take the part of a user whose entries are not the ones
// planted, and name any file as the input.
#pragma once

#include <limits.h>
#include <sys/types.h>

#include "failure.h"
#include "file_identity.h"
#include "platform_linux.h"

namespace platform {

// As many links as the kernel follows in one name.
inline constexpr int most_links = 40;

// Where the walk to a result name ends.
struct ResultPlace {
  // The file, open for writing and not blocking; not open when refused.
  Descriptor file{};
  // The directory that holds it, when it is the name's own entry, reached
  // through no link; not open otherwise.
  Descriptor directory{};
  // When the walk made the file (no entry was there before): the directory
  // it was made in, wherever a link led, and its entry there, so that a file
  // made for nothing can go again.
  Descriptor made_in{};
  char made_entry[NAME_MAX + 1] = {};
  // Why, when refused.
  Failure why{};
  // The name leads to the input, which is then not opened.
  bool is_input = false;
};

// Walks the name one entry at a time, following its symbolic links itself:
// those of the name, of the links' targets and of their directories alike.
// In a directory that anyone may write to and that is sticky, only the
// caller's own entries and the directory owner's are followed or opened.
// Creates the file where no entry is; opens an existing one for writing
// without cutting it, unless it is the input (as same_file tells files apart),
// which is told from what the walk found and never opened. Refused when an
// untrusted entry or more than most_links links lie on the way, when the name
// cannot lead to a file (a missing or unreadable directory on the way, a name
// that ends in a directory, a path longer than the system takes), or when the
// open fails, as it does at once for a FIFO with no reader.
ResultPlace open_result_as(const char* name, uid_t caller, const FileIdentity& input);

}  // namespace platform
