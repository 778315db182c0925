// Settings of the machine that some end-to-end rows need: the kernel's rule
// for links in shared directories turned off, and a sysfs attribute to read.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "e2e_fixtures.h"

// What a sysfs attribute delivers, though sysfs reports more.
enum class Sysfs { none, nothing, text };

// Turns the kernel's rule for links in shared directories off while it lives,
// and back as it was when it goes. With the rule on, the kernel refuses such a
// link itself and would hide a program that follows it. Whoever else runs such
// rows at the same time waits, so that nobody restores another's setting.
class KernelLinkRuleOff {
 public:
  KernelLinkRuleOff() {
    const std::filesystem::path lock =
        std::filesystem::temp_directory_path() / "content_check-protected_symlinks.lock";
    lock_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock_ < 0 || ::flock(lock_, LOCK_EX) != 0) return;
    saved_ = read_all(setting);
    off_ = !saved_.empty() && (saved_ == "0\n" || put("0\n"));
  }
  KernelLinkRuleOff(const KernelLinkRuleOff&) = delete;
  KernelLinkRuleOff& operator=(const KernelLinkRuleOff&) = delete;
  ~KernelLinkRuleOff() {
    if (off_ && saved_ != "0\n" && !put(saved_))
      ADD_FAILURE() << "could not put " << setting << " back to " << saved_;
    if (lock_ >= 0) ::close(lock_);
  }

  bool off() const { return off_; }

 private:
  static constexpr const char* setting = "/proc/sys/fs/protected_symlinks";
  static bool put(const std::string& value) {
    const int fd = ::open(setting, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written =
        ::write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
    return ::close(fd) == 0 && written;
  }

  int lock_ = -1;
  std::string saved_;
  bool off_ = false;
};

// A sysfs attribute that the caller can read and that delivers nothing, or
// text, short of the size that sysfs reports for it; empty when there is none.
// Which attributes a user may read, and what they deliver, differs from one
// kernel and machine to the next. Only the kernel's own bookkeeping is read,
// never a device's: the uevents of the system's subsystems (empty where one
// has nothing to announce), the processors' lists and the interrupts' actions.
inline std::string sysfs_attribute(Sysfs wanted) {
  std::vector<std::filesystem::path> candidates;
  std::error_code error;
  for (const std::filesystem::directory_entry& entry :
       std::filesystem::directory_iterator("/sys/devices/system/cpu", error))
    candidates.push_back(entry.path());
  for (const char* place : {"/sys/devices/system", "/sys/kernel/irq"}) {
    for (const std::filesystem::directory_entry& entry :
         std::filesystem::directory_iterator(place, error)) {
      candidates.push_back(entry.path() / "uevent");
      candidates.push_back(entry.path() / "actions");
    }
  }
  std::sort(candidates.begin(), candidates.end());
  for (const std::filesystem::path& path : candidates) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st {};
    char buffer[4096];
    const bool file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t n = file ? ::read(fd, buffer, sizeof buffer) : -1;
    ::close(fd);
    if (n < 0 || st.st_size <= n) continue;
    if ((n == 0) == (wanted == Sysfs::nothing)) return path.string();
  }
  return {};
}
