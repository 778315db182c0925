// The result file on Linux: the walk to it link by link, its creation or cut,
// and its removal through the directory the walk ended in.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <string_view>

#include "reasons.h"
#include "result_file.h"
#include "result_file_linux.h"

namespace platform {

namespace {

// Whether the caller may trust an entry of this owner in this directory, as
// the kernel's protected_symlinks and protected_regular rules have it, since
// those are off on some systems. In a directory that anyone may write to and
// that is sticky, such as /tmp, anyone may plant an entry, and only the
// entry's owner or the directory's may remove or rename it: there only the
// caller's own entries and the directory owner's are followed or opened.
// Nobody else can then swap such an entry between the look and its use.
bool trusted_entry(const struct stat& directory, uid_t owner, uid_t caller) {
  const bool shared = (directory.st_mode & S_ISVTX) != 0 && (directory.st_mode & S_IWOTH) != 0;
  return !shared || owner == caller || owner == directory.st_uid;
}

// errno set to error, and the walk refused.
bool refuse(int error) {
  errno = error;
  return false;
}

// Where a name leads once every symbolic link on the way has been followed:
// the directory that holds the last entry, that entry's name, and, when it
// exists, what it is and the file itself, open as a path only.
struct Destination {
  Descriptor directory{};
  char entry[NAME_MAX + 1] = {};
  bool exists = false;
  struct stat found {};
  Descriptor file{};  // O_PATH: it can be looked at, not read or written
  // Reached past a link of /proc: no entry of a directory names the file.
  bool by_the_kernel = false;
  bool through_link = false;  // a link lay on the way: the entry is not the name's own
  // Why the walk was refused where errno does not say it.
  const char* refused = nullptr;
};

// The links of /proc (/proc/self/fd/1, where /dev/stdout leads, say) lead to
// the open file itself, which may be a pipe or a file removed since; their
// text names no path to walk. Only the kernel makes them, so none is planted.
bool made_by_the_kernel(int link) {
  struct statfs fs {};
  return ::fstatfs(link, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Makes rest, a part of path or a literal, the whole of path: its new length.
std::size_t walk_on(char* path, std::string_view rest) {
  std::memmove(path, rest.data(), rest.size());
  path[rest.size()] = '\0';
  return rest.size();
}

// The walk of open_result_as, up to the last entry. Each link is judged by
// the directory it lies in (trusted_entry), and each entry is looked at
// through a descriptor of its own, so that the link judged is the link read.
// The path still to walk lives in buffers as large as the system's largest
// path, so that no name makes the walk ask for memory; one that does not fit
// is refused, and why is then in errno or, for an untrusted link, in
// to.refused.
bool resolve(const char* name, uid_t caller, Destination& to) {
  char path[PATH_MAX];
  char target[PATH_MAX];
  std::size_t length = std::strlen(name);
  if (length >= sizeof path) return refuse(ENAMETOOLONG);
  std::memcpy(path, name, length + 1);
  Descriptor directory(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  int links = 0;
  bool through_link = false;
  while (directory) {
    std::string_view rest(path, length);
    if (rest.starts_with('/')) {
      directory = Descriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      rest.remove_prefix(std::min(rest.find_first_not_of('/'), rest.size()));
    }
    const std::size_t slash = rest.find('/');
    const std::string_view entry = rest.substr(0, slash);
    if (slash == std::string_view::npos) {
      rest = {};
    } else {
      // "a/" must be a directory, as "a/." must.
      const std::size_t next = rest.find_first_not_of('/', slash);
      rest = next == std::string_view::npos ? std::string_view(".") : rest.substr(next);
    }
    if (entry.empty()) return refuse(EISDIR);  // the name was the root itself
    // The system takes no longer entry name.
    if (entry.size() >= sizeof to.entry) return refuse(ENAMETOOLONG);
    char entry_name[sizeof to.entry];
    std::memcpy(entry_name, entry.data(), entry.size());
    entry_name[entry.size()] = '\0';

    Descriptor found(::openat(directory.get(), entry_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!found) {
      if (errno != ENOENT || !rest.empty()) return false;
      to.directory = std::move(directory);
      std::memcpy(to.entry, entry_name, sizeof entry_name);
      to.through_link = through_link;
      return true;
    }
    struct stat st {};
    if (::fstat(found.get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      struct stat holder {};
      if (++links > most_links) return refuse(ELOOP);
      if (::fstat(directory.get(), &holder) != 0) return false;
      if (!trusted_entry(holder, st.st_uid, caller)) {
        to.refused = reasons::untrusted_link;
        return false;
      }
      through_link = true;
      if (made_by_the_kernel(found.get())) {
        // The kernel follows this one link; the walk goes on from where it leads.
        Descriptor file(::openat(directory.get(), entry_name, O_PATH | O_CLOEXEC));
        if (!file || ::fstat(file.get(), &st) != 0) return false;
        if (rest.empty()) {
          to.exists = true;
          to.found = st;
          to.file = std::move(file);
          to.by_the_kernel = true;
          to.through_link = true;
          return true;
        }
        if (!S_ISDIR(st.st_mode)) return refuse(ENOTDIR);
        directory = std::move(file);
        length = walk_on(path, rest);
        continue;
      }
      const ssize_t size = ::readlinkat(found.get(), "", target, sizeof target);
      if (size < 0) return false;
      if (size == 0) return refuse(ENOENT);
      if (static_cast<std::size_t>(size) >= sizeof target) return refuse(ENAMETOOLONG);
      auto joined = static_cast<std::size_t>(size);
      if (!rest.empty()) {
        if (joined + 1 + rest.size() >= sizeof target) return refuse(ENAMETOOLONG);
        target[joined++] = '/';
        std::memcpy(target + joined, rest.data(), rest.size());
        joined += rest.size();
      }
      length = walk_on(path, {target, joined});
      continue;
    }
    if (rest.empty()) {
      to.directory = std::move(directory);
      std::memcpy(to.entry, entry_name, sizeof entry_name);
      to.exists = true;
      to.found = st;
      to.file = std::move(found);
      to.through_link = through_link;
      return true;
    }
    if (!S_ISDIR(st.st_mode)) return refuse(ENOTDIR);
    directory = std::move(found);
    length = walk_on(path, rest);
  }
  return false;
}

// What the refusal of a result file tells when no error of the system says it.
Failure why_refused(const Destination& to, int error) {
  return to.refused != nullptr ? Failure{.reason = to.refused} : Failure{.error = error};
}

// The file that path, an O_PATH descriptor, is open on, opened anew with
// flags through its link in /proc: that very file, whatever its name leads
// to by now. Not open, errno ENOENT, where /proc is not mounted.
Descriptor reopen(const Descriptor& path, int flags) {
  char own[32] = "/proc/self/fd/";
  const std::size_t prefix = std::strlen(own);
  const std::to_chars_result number = std::to_chars(own + prefix, own + sizeof own - 1, path.get());
  *number.ptr = '\0';
  return Descriptor(::open(own, flags));
}

}  // namespace

ResultPlace open_result_as(const char* name, uid_t caller, const FileIdentity& input) {
  // Opened without cutting, so that nothing is cut before the file is known.
  // Not blocking, so that a FIFO of that name with no reader fails at once
  // instead of hanging the run.
  const int flags = O_WRONLY | O_CLOEXEC | O_NONBLOCK;
  // Nothing is followed once the last entry is found: a new file is created
  // only where no entry is, and an existing one is opened only while it is
  // still the file judged. Each turn ends unless another entry appears under
  // the last name between the look and the open; a few turns are plenty.
  for (int turn = 0; turn < 4; ++turn) {
    Destination destination;
    if (!resolve(name, caller, destination)) return {.why = why_refused(destination, errno)};
    const int at = destination.directory.get();
    const char* const entry = destination.entry;
    Descriptor directory =
        destination.through_link ? Descriptor() : std::move(destination.directory);
    if (!destination.exists) {
      Descriptor created(::openat(at, entry, flags | O_CREAT | O_EXCL | O_NOFOLLOW, 0666));
      if (created) {
        Descriptor made_in = directory ? Descriptor(::fcntl(at, F_DUPFD_CLOEXEC, 0))
                                       : std::move(destination.directory);
        ResultPlace place{.file = std::move(created),
                          .directory = std::move(directory),
                          .made_in = std::move(made_in)};
        std::memcpy(place.made_entry, entry, sizeof place.made_entry);
        return place;
      }
      if (errno == EEXIST) continue;
      return {.why = {.error = errno}};
    }
    if (!destination.by_the_kernel) {
      struct stat holder {};
      if (::fstat(at, &holder) != 0) return {.why = {.error = errno}};
      if (!trusted_entry(holder, destination.found.st_uid, caller))
        return {.why = {.reason = reasons::untrusted_file}};
    }
    // Told from what the walk found, before any open for writing: the input
    // is never opened for writing, which a read-only one would refuse and
    // which those who watch it would see.
    if (same_file(identity_of(destination.found), input)) return {.is_input = true};
    // The file looked at, and no other that its name may lead to by now; the
    // one way to a pipe's end behind a link of /proc, too.
    Descriptor opened = reopen(destination.file, flags);
    if (opened) return {.file = std::move(opened), .directory = std::move(directory)};
    if (errno != ENOENT || destination.by_the_kernel) return {.why = {.error = errno}};
    // Without /proc the entry is opened by its name, and taken only while it
    // is still the file looked at. Another file swapped in between, even the
    // input, is refused, though it has been opened by then.
    opened = Descriptor(::openat(at, entry, flags | O_NOFOLLOW));
    if (!opened) {
      if (errno == ENOENT || errno == ELOOP) continue;  // gone, or a link now
      return {.why = {.error = errno}};
    }
    struct stat now {};
    if (::fstat(opened.get(), &now) != 0) return {.why = {.error = errno}};
    if (now.st_dev != destination.found.st_dev || now.st_ino != destination.found.st_ino)
      return {.why = {.reason = reasons::replaced_while_opened}};
    return {.file = std::move(opened), .directory = std::move(directory)};
  }
  return {.why = {.reason = reasons::replaced_while_opened}};
}

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
