// The result file: the choice of its name, its creation, the verdict byte put
// into it, its close and, when the run leaves no answer, its removal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <utility>

#include "failure.h"
#include "file_identity.h"
#include "naming.h"
#include "owner.h"
#include "reasons.h"

namespace platform {

// Closes a descriptor or handle held for the result file's removal, by the
// platform's own call.
struct LetGoOfHold {
  void operator()(std::intptr_t held) const noexcept;
};
// A descriptor or handle held open until the result file is removed or goes;
// -1, which is neither, for none.
using RemovalHold = Owner<std::intptr_t, std::intptr_t{-1}, LetGoOfHold>;

// Closes the result file's stream when it goes without an explicit close.
struct CloseStream {
  void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};

// The result file, open for writing in binary mode ("wb"). Closed when it
// goes, unless it was closed first with close(), which is how the run closes
// wherever the order or the result matters.
class ResultFile {
 public:
  // Creates the result file in the current directory, or cuts it to zero
  // length, under the name that choose_result_name gives for the typed name;
  // under the other name when that one designates the input itself (through
  // a link, a second device node of the same device, or a name that the file
  // system takes for the same). That is told before anything is opened for
  // writing, and the input is never opened for writing: a read-only input is
  // examined all the same, and left as it was. In a directory that anyone may
  // write to and whose entries only their owners may remove (a sticky one,
  // such as /tmp), a symbolic link or an existing file under that name that
  // belongs neither to the caller nor to the directory's owner is neither
  // followed nor opened: another user may have planted it there. That holds
  // for every link on the way, each judged by the directory it lies in. Not
  // open when no result file can be had.
  static ResultFile create(std::string_view input_name, const FileIdentity& input) {
    const std::size_t chosen = choose_result_name(input_name);
    ResultFile result = create_named(result_names[chosen].data(), input);
    if (result.is_input_) {
      result = create_named(result_names[other_result_name(chosen)].data(), input);
      if (result.is_input_) result.failure_ = {.reason = reasons::both_names_lead_to_the_input};
    }
    return result;
  }

  explicit operator bool() const { return static_cast<bool>(stream_); }

  // The result name last tried, one of result_names; null before any was.
  const char* name() const { return name_; }
  // Why no result file was had under it, or why what was put into it was
  // not stored.
  Failure failure() const { return failure_; }

  // True when the byte was handed on; the close tells whether it was stored.
  bool put(int byte) {
    if (stream_ && std::fputc(byte, stream_.get()) != EOF) return true;
    failure_ = last_failure();
    return false;
  }

  // True when the file was open, everything put into it reached the system,
  // and it closed cleanly. The flush is checked on its own: msvcrt's fclose
  // answers 0 after a flush that failed for a full disk.
  bool close() {
    std::FILE* const stream = stream_.release();
    if (stream == nullptr) return false;
    const bool flushed = std::fflush(stream) == 0 && std::ferror(stream) == 0;
    if (!flushed && failure_.error == 0) failure_ = last_failure();
    const bool closed = std::fclose(stream) == 0;
    if (flushed && !closed) failure_ = last_failure();
    return closed && flushed;
  }

  // Removes the file that was created or cut, open or closed, through what
  // was opened for it, never by resolving its name anew: only while the
  // name's own entry is still that very file and a plain one, not a link, a
  // FIFO or a device. A file reached through a link is left, and so is
  // anything else.
  void remove();

 private:
  // One name's try: open, or not, and then is_input_ tells whether the name
  // designates the input, which is then not opened at all.
  static ResultFile create_named(const char* name, const FileIdentity& input);
  // A try that failed under the name, for that reason.
  static ResultFile failed(const char* name, Failure why) {
    ResultFile result;
    result.name_ = name;
    result.failure_ = why;
    return result;
  }

  using Stream = Owner<std::FILE*, nullptr, CloseStream>;
  Stream stream_{};
  bool is_input_ = false;
  const char* name_ = nullptr;  // one of result_names, once tried
  Failure failure_{};
  FileIdentity identity_{};  // of the file created or cut
  // What the removal goes through: on Linux a descriptor of the directory
  // that holds the file, when it is the name's own entry; on Windows a handle
  // on the name's own entry, when that is the file created or cut and no
  // link. Nothing otherwise.
  RemovalHold hold_{};
};

}  // namespace platform
