#include "control/char_width.h"

namespace velotarn {

size_t CharBoundaryPrefix(const char* data, size_t count, const TCharWidth& width) {
  if (count == 0) return 0;
  size_t at = 0;
  for (;;) {
    size_t w = width(static_cast<unsigned char>(data[at]));
    if (w == 0) w = 1;  // a width function that returns 0 must not stall the scan
    if (at + w > count) break;
    at += w;
    if (at == count) break;
  }
  return at > 0 ? at : count;
}

}  // namespace velotarn
