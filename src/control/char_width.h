#pragma once
// How many bytes a character of a multi-byte code page takes, told by its first byte. Output
// lines are cut into pieces and records only between characters, never inside one.
//
// No Windows include: the pure text pieces that use it build on any platform.

#include <cstddef>
#include <functional>

namespace velotarn {

// Width in bytes (1 or more) of the character that starts with `lead`.
using TCharWidth = std::function<size_t(unsigned char lead)>;

// Every byte is a character of its own (single-byte code pages).
inline size_t SingleByteWidth(unsigned char) { return 1; }

// UTF-8 as an ANSI code page: the width that a lead byte announces; stray continuation bytes
// and invalid leads count as one byte each.
inline size_t Utf8CharWidth(unsigned char Lead) {
  if (Lead >= 0xC2 && Lead <= 0xDF) return 2;
  if (Lead >= 0xE0 && Lead <= 0xEF) return 3;
  if (Lead >= 0xF0 && Lead <= 0xF4) return 4;
  return 1;
}

// The longest prefix of `count` bytes at `data` that ends between two characters, scanning
// from `data`, which must be the start of a character. Never 0 when count > 0: a single
// character wider than `count` is cut after `count` bytes rather than never.
size_t CharBoundaryPrefix(const char* Data, size_t Count, const TCharWidth& Width);

}  // namespace velotarn
