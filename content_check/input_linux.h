// The hole query with its seek call passed in, so that tests can make it fail
// the ways file systems do.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "scan.h"

namespace platform {

using SeekFunction = off_t (*)(int fd, off_t offset, int whence);

DataExtent next_data_with(int fd, std::int64_t offset, SeekFunction seek);

}  // namespace platform
