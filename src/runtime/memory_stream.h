#pragma once
// TMemoryStream: a growable byte buffer with a read/write position, the form in which one
// complete pipe message reaches OnPipeMessage.
//
// Threading: a plain value owned by one thread at a time.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/component.h"

namespace velotarn {

class TMemoryStream : public TObject {
 public:
  int64_t Size() const noexcept { return static_cast<int64_t>(data_.size()); }
  int64_t Position() const noexcept { return pos_; }
  void SetPosition(int64_t p) noexcept { pos_ = std::clamp<int64_t>(p, 0, Size()); }
  void SetSize(int64_t n) {
    data_.resize(static_cast<size_t>(n));
    pos_ = std::min(pos_, n);
  }
  const uint8_t* Memory() const noexcept { return data_.data(); }
  uint8_t* Memory() noexcept { return data_.data(); }
  void Clear() noexcept {
    data_.clear();
    pos_ = 0;
  }

  // Copies up to `count` bytes from the position on; returns how many were copied.
  int64_t Read(void* buffer, int64_t count) noexcept {
    int64_t n = std::clamp<int64_t>(Size() - pos_, 0, std::max<int64_t>(count, 0));
    if (n > 0) std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
  }

  // Writes `count` bytes at the position, growing the stream as needed.
  int64_t Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    if (pos_ + count > Size()) data_.resize(static_cast<size_t>(pos_ + count));
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
  }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

}  // namespace velotarn
