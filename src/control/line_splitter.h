#pragma once
// TLineSplitter: cuts a child's output, received in chunks, into lines. A line is the bytes
// after the previous CR up to and including the next CR; the LF of a CR LF pair begins the
// next line and LF alone ends nothing. A line's text stops at its first zero byte: the rest of
// that line, up to and including its CR, is lost.
//
// The line buffer holds kLineBufferSize bytes: at most kMaxLineBytes before the CR, then the
// CR and a terminating zero. A longer line is not cut off: when a further byte would leave no
// room for the CR, the bytes gathered so far go out as a piece of the line (without a CR),
// ending between two characters of the code page, and the line goes on in the next piece. So
// nothing is lost, the buffer is never written past its end, and only the last piece of a line
// ends with CR. Bytes of an unfinished line are held until the next CR and dropped with the
// splitter.
//
// No Windows include: builds on any platform. Threading: a plain value of one thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "control/char_width.h"

namespace velotarn {

class TLineSplitter {
 public:
  static constexpr size_t kLineBufferSize = 2019;
  static constexpr size_t kMaxLineBytes = kLineBufferSize - 2;  // room for CR and zero
  static constexpr size_t kChunkSize = 256;                     // one read of the child's pipe

  // Receives each line (or piece of an oversize line), without the terminating zero.
  using TEmit = std::function<void(std::string_view line)>;

  explicit TLineSplitter(TCharWidth Width = SingleByteWidth) : FWidth(std::move(Width)) {}

  // Takes the next `count` received bytes; emits every line they complete, in order. An error
  // raised by `emit` passes on; the splitter then holds the bytes after the emitted line's CR
  // that were not yet taken, which are dropped with it.
  void Feed(const char* Data, size_t Count, const TEmit& Emit);

  // Bytes of the unfinished line held in the buffer.
  size_t Pending() const noexcept { return static_cast<size_t>(FFill); }

 private:
  void EmitPiece(const TEmit& Emit);

  TCharWidth FWidth;
  char FBuffer[kLineBufferSize];
  int32_t FFill = 0;       // bytes the buffer holds for the current line
  bool FCut = false;       // a zero byte ended this line's text; the rest waits for its CR
};

}  // namespace velotarn
