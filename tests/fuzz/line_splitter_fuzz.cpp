// The runner's line splitter against a two-line model: fed in arbitrary chunks, it must emit
// exactly what a whole-stream model says (each CR-terminated line, its text stopping at a zero
// byte), spread over pieces that never exceed the buffer and are cut only between characters.
#include <cassert>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "control/line_splitter.h"

using velotarn::TLineSplitter;

namespace {

// The model: every CR-terminated line of the stream; a zero byte ends its text (and its CR is
// lost with the rest); the unfinished last line is not emitted.
std::vector<std::string> ModelLines(const std::string& stream) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t cr = stream.find('\r'); cr != std::string::npos; cr = stream.find('\r', start)) {
    std::string line = stream.substr(start, cr - start + 1);
    size_t zero = line.find('\0');
    if (zero != std::string::npos) line.resize(zero);
    lines.push_back(line);
    start = cr + 1;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool utf8 = data[0] & 1;
  const uint8_t chunk_seed = data[1];
  // Short inputs are stretched so that oversize lines are reached: the rest repeats.
  std::string stream(reinterpret_cast<const char*>(data + 2), size - 2);
  if ((data[0] & 2) && !stream.empty())
    while (stream.size() < 5000) stream += stream;

  const velotarn::TCharWidth width =
      utf8 ? velotarn::TCharWidth(velotarn::Utf8CharWidth) : velotarn::SingleByteWidth;
  TLineSplitter splitter(width);
  std::vector<std::string> pieces;
  auto emit = [&](std::string_view piece) { pieces.emplace_back(piece); };
  size_t at = 0, step = 1 + chunk_seed % TLineSplitter::kChunkSize;
  while (at < stream.size()) {
    size_t n = std::min(step, stream.size() - at);
    splitter.Feed(stream.data() + at, n, emit);
    at += n;
    step = 1 + (step * 31 + chunk_seed) % TLineSplitter::kChunkSize;
  }

  // Join pieces into lines: a piece that ends with CR, or the last piece of a line cut by a
  // zero byte, ends a line. Rebuild against the model line by line.
  std::vector<std::string> model = ModelLines(stream);
  // An unfinished last line longer than the buffer has already gone out in pieces; the rest
  // (up to a zero byte, which ends its text) is what the splitter still holds.
  size_t last_cr = stream.rfind('\r');
  std::string tail = stream.substr(last_cr == std::string::npos ? 0 : last_cr + 1);
  size_t zero = tail.find('\0');
  if (zero != std::string::npos) tail.resize(zero + 1);
  if (splitter.Pending() > tail.size()) __builtin_trap();
  std::string gone = tail.substr(0, tail.size() - splitter.Pending());
  if (!gone.empty()) model.push_back(gone);
  std::string joined, expected;
  for (const std::string& p : pieces) {
    if (p.size() > TLineSplitter::kMaxLineBytes + 1) __builtin_trap();  // buffer overrun
    if (p.find('\0') != std::string::npos) __builtin_trap();             // text past a zero
    size_t cr = p.find('\r');
    if (cr != std::string::npos && cr + 1 != p.size()) __builtin_trap();  // CR inside a piece
    joined += p;
  }
  for (const std::string& l : model) expected += l;
  if (joined != expected) __builtin_trap();  // lost, doubled or reordered bytes

  // Pieces never straddle two lines, and inside a line every cut falls between two characters
  // of the code page (scanning character widths from the line's start).
  size_t line = 0, used = 0;  // position in model[line]
  for (const std::string& p : pieces) {
    while (line < model.size() && used == model[line].size() && !model[line].empty()) {
      ++line;
      used = 0;
    }
    if (line == model.size()) {
      if (!p.empty()) __builtin_trap();
      continue;
    }
    const std::string& l = model[line];
    if (used + p.size() > l.size()) __builtin_trap();  // a piece runs into the next line
    used += p.size();
    if (used < l.size()) {
      size_t boundary = 0;
      while (boundary < used) boundary += width(static_cast<unsigned char>(l[boundary]));
      if (boundary != used) __builtin_trap();  // cut inside a character
    }
    if (used == l.size()) {
      ++line;
      used = 0;
    }
  }
  return 0;
}
