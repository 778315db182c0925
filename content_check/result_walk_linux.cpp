// The walk to the result file on Linux, link by link, each judged by the
// directory it lies in, up to the file opened for writing or created; never
// the input, which is told from what the walk found.
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
#include "result_walk_linux.h"

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

// Where the walk stands: the directory it is in, the path still to walk from
// there, and what it met on the way. The path lives in buffers as large as
// the system's largest path, so that no name makes the walk ask for memory.
struct Walk {
  Descriptor directory{};
  char path[PATH_MAX] = {};
  std::size_t length = 0;
  char target[PATH_MAX] = {};  // a link's text, joined with what follows it
  int links = 0;
  bool through_link = false;
};

// What one link on the way came to.
enum class Followed { walk_on, arrived, refused };

// Follows the symbolic link `link`, the entry entry_name of the walk's
// directory, with rest still to walk after it. It is judged by the directory
// it lies in (trusted_entry). A link of /proc leads the walk into what it
// leads to, or ends it there when nothing is left; any other makes its text,
// joined with the rest, the path still to walk. Refused with why in errno or,
// for an untrusted link, in to.refused.
Followed follow_link(Walk& walk, const Descriptor& link, const struct stat& st,
                     const char* entry_name, std::string_view rest, uid_t caller, Destination& to) {
  if (++walk.links > most_links) return refuse(ELOOP), Followed::refused;
  struct stat holder {};
  if (::fstat(walk.directory.get(), &holder) != 0) return Followed::refused;
  if (!trusted_entry(holder, st.st_uid, caller)) {
    to.refused = reasons::untrusted_link;
    return Followed::refused;
  }
  walk.through_link = true;
  if (made_by_the_kernel(link.get())) {
    // The kernel follows this one link; the walk goes on from where it leads.
    Descriptor file(::openat(walk.directory.get(), entry_name, O_PATH | O_CLOEXEC));
    struct stat led_to {};
    if (!file || ::fstat(file.get(), &led_to) != 0) return Followed::refused;
    if (rest.empty()) {
      to.exists = true;
      to.found = led_to;
      to.file = std::move(file);
      to.by_the_kernel = true;
      to.through_link = true;
      return Followed::arrived;
    }
    if (!S_ISDIR(led_to.st_mode)) return refuse(ENOTDIR), Followed::refused;
    walk.directory = std::move(file);
    walk.length = walk_on(walk.path, rest);
    return Followed::walk_on;
  }
  const ssize_t size = ::readlinkat(link.get(), "", walk.target, sizeof walk.target);
  if (size < 0) return Followed::refused;
  if (size == 0) return refuse(ENOENT), Followed::refused;
  if (static_cast<std::size_t>(size) >= sizeof walk.target)
    return refuse(ENAMETOOLONG), Followed::refused;
  auto joined = static_cast<std::size_t>(size);
  if (!rest.empty()) {
    if (joined + 1 + rest.size() >= sizeof walk.target)
      return refuse(ENAMETOOLONG), Followed::refused;
    walk.target[joined++] = '/';
    std::memcpy(walk.target + joined, rest.data(), rest.size());
    joined += rest.size();
  }
  walk.length = walk_on(walk.path, {walk.target, joined});
  return Followed::walk_on;
}

// The walk of open_result_as, up to the last entry, one entry at a time. Each
// entry is looked at through a descriptor of its own, so that the link judged
// is the link read. A name that does not fit is refused, and why is then in
// errno or, for an untrusted link, in to.refused.
bool resolve(const char* name, uid_t caller, Destination& to) {
  Walk walk;
  walk.length = std::strlen(name);
  if (walk.length >= sizeof walk.path) return refuse(ENAMETOOLONG);
  std::memcpy(walk.path, name, walk.length + 1);
  walk.directory = Descriptor(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  while (walk.directory) {
    std::string_view rest(walk.path, walk.length);
    if (rest.starts_with('/')) {
      walk.directory = Descriptor(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
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

    Descriptor found(::openat(walk.directory.get(), entry_name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!found) {
      if (errno != ENOENT || !rest.empty()) return false;
      to.directory = std::move(walk.directory);
      std::memcpy(to.entry, entry_name, sizeof entry_name);
      to.through_link = walk.through_link;
      return true;
    }
    struct stat st {};
    if (::fstat(found.get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      switch (follow_link(walk, found, st, entry_name, rest, caller, to)) {
        case Followed::walk_on:
          continue;
        case Followed::arrived:
          return true;
        case Followed::refused:
          return false;
      }
    }
    if (rest.empty()) {
      to.directory = std::move(walk.directory);
      std::memcpy(to.entry, entry_name, sizeof entry_name);
      to.exists = true;
      to.found = st;
      to.file = std::move(found);
      to.through_link = walk.through_link;
      return true;
    }
    if (!S_ISDIR(st.st_mode)) return refuse(ENOTDIR);
    walk.directory = std::move(found);
    walk.length = walk_on(walk.path, rest);
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

}  // namespace platform
