#include "control/line_splitter.h"

#include <cstring>

namespace velotarn {

void TLineSplitter::Feed(const char* Data, size_t Count, const TEmit& Emit) {
  for (size_t i = 0; i < Count; ++i) {
    const char byte = Data[i];
    if (byte == '\r') {
      FBuffer[FFill++] = byte;
      FBuffer[FFill] = '\0';
      // The text stops at the first zero byte: strlen finds it, or the terminator.
      std::string_view line(FBuffer, std::strlen(FBuffer));
      FFill = 0;
      FCut = false;
      Emit(line);
      continue;
    }
    if (FCut) continue;  // after a zero byte the line's bytes up to its CR are lost
    if (static_cast<size_t>(FFill) == kMaxLineBytes) EmitPiece(Emit);
    FBuffer[FFill++] = byte;
    if (byte == '\0') FCut = true;
  }
}

// The buffer is full and the line goes on: the whole characters gathered so far go out as one
// piece; a character whose bytes are not all here yet starts the next piece.
void TLineSplitter::EmitPiece(const TEmit& Emit) {
  size_t cut = CharBoundaryPrefix(FBuffer, static_cast<size_t>(FFill), FWidth);
  char piece[kLineBufferSize];
  std::memcpy(piece, FBuffer, cut);
  size_t rest = static_cast<size_t>(FFill) - cut;
  std::memmove(FBuffer, FBuffer + cut, rest);
  FFill = static_cast<int32_t>(rest);
  Emit(std::string_view(piece, cut));
}

}  // namespace velotarn
