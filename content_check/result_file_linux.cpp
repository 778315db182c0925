// The result file on Linux: its creation or cut where the walk to it ended,
// and its removal through the directory the walk ended in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "result_file.h"
#include "result_walk_linux.h"

namespace platform {

ResultFile ResultFile::create_named(const char* name, const FileIdentity& input) {
  ResultPlace place = open_result_as(name, ::geteuid(), input);
  ResultFile result;
  result.name_ = name;
  if (place.is_input) {
    result.is_input_ = true;
    return result;
  }
  if (!place.file) return failed(name, place.why);
  const int fd = place.file.get();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return failed(name, {.error = errno});
  result.identity_ = identity_of(st);
  // A result name is a bare entry name: the name the directory holds it by.
  if (place.directory) result.hold_ = RemovalHold(place.directory.release());
  // The stream, which needs memory, is had before anything is cut: without
  // it, a file that was there stays as it was, and one made for this run goes
  // again, while its entry is still that file.
  std::FILE* const stream = ::fdopen(fd, "wb");
  if (stream == nullptr) {
    const int error = errno;
    struct stat entry {};
    const int made_in = place.made_in.get();
    if (place.made_in && ::fstatat(made_in, place.made_entry, &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
        entry.st_dev == st.st_dev && entry.st_ino == st.st_ino)
      ::unlinkat(made_in, place.made_entry, 0);
    return failed(name, {.error = error});
  }
  place.file.release();
  result.stream_ = Stream(stream);
  if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
    const int error = errno;
    result.close();
    return failed(name, {.error = error});
  }
  return result;
}

void LetGoOfHold::operator()(std::intptr_t held) const noexcept {
  ::close(static_cast<int>(held));
}

void ResultFile::remove() {
  if (!hold_) return;
  const Descriptor directory(static_cast<int>(hold_.release()));
  // Looked at without following a link, so that a link is seen as a link and
  // never removed in place of the file it leads to.
  struct stat entry {};
  if (::fstatat(directory.get(), name_, &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(entry.st_mode))
    return;
  const FileIdentity found = identity_of(entry);
  if (found.volume != identity_.volume || found.index != identity_.index) return;
  ::unlinkat(directory.get(), name_, 0);
}

}  // namespace platform
