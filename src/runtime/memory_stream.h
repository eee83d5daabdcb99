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
  int64_t Size() const noexcept { return static_cast<int64_t>(FData.size()); }
  int64_t Position() const noexcept { return FPos; }
  void SetPosition(int64_t Position) noexcept { FPos = std::clamp<int64_t>(Position, 0, Size()); }
  void SetSize(int64_t NewSize) {
    FData.resize(static_cast<size_t>(NewSize));
    FPos = std::min(FPos, NewSize);
  }
  const uint8_t* Memory() const noexcept { return FData.data(); }
  uint8_t* Memory() noexcept { return FData.data(); }
  void Clear() noexcept {
    FData.clear();
    FPos = 0;
  }

  // Copies up to `count` bytes from the position on; returns how many were copied.
  int64_t Read(void* Buffer, int64_t Count) noexcept {
    int64_t n = std::clamp<int64_t>(Size() - FPos, 0, std::max<int64_t>(Count, 0));
    if (n > 0) std::memcpy(Buffer, FData.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return n;
  }

  // Writes `count` bytes at the position, growing the stream as needed.
  int64_t Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    if (FPos + Count > Size()) FData.resize(static_cast<size_t>(FPos + Count));
    std::memcpy(FData.data() + FPos, Buffer, static_cast<size_t>(Count));
    FPos += Count;
    return Count;
  }

 private:
  std::vector<uint8_t> FData;
  int64_t FPos = 0;
};

}  // namespace velotarn
