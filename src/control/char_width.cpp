#include "control/char_width.h"

namespace velotarn {

size_t CharBoundaryPrefix(const char* Data, size_t Count, const TCharWidth& Width) {
  if (Count == 0) return 0;
  size_t at = 0;
  for (;;) {
    size_t w = Width(static_cast<unsigned char>(Data[at]));
    if (w == 0) w = 1;  // a width function that returns 0 must not stall the scan
    if (at + w > Count) break;
    at += w;
    if (at == Count) break;
  }
  return at > 0 ? at : Count;
}

}  // namespace velotarn
