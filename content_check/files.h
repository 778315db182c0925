// Owned C streams and the open input seen as a byte source.
#pragma once

#include <cstdio>
#include <utility>

#include "content_check.h"

// Closes its stream when it goes out of scope, unless it was closed first with
// close(), which is how the run closes wherever the order or the result matters.
class File {
 public:
  File() = default;
  explicit File(std::FILE* stream) : stream_(stream) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  explicit operator bool() const { return stream_ != nullptr; }
  std::FILE* get() const { return stream_; }

  // True when the stream was open and closed cleanly.
  bool close() {
    std::FILE* const stream = std::exchange(stream_, nullptr);
    return stream != nullptr && std::fclose(stream) == 0;
  }

 private:
  std::FILE* stream_ = nullptr;
};

class InputSource final : public ByteSource {
 public:
  explicit InputSource(std::FILE* input);
  std::int64_t length() override;
  std::ptrdiff_t read(std::span<unsigned char> into) override;
  DataExtent next_data(std::int64_t offset) override;
  bool seek(std::int64_t offset) override;

 private:
  std::FILE* input_;
  bool holes_;
};
