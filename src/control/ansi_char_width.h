#pragma once
// The character width rule of the system's ANSI code page (GetACP), for cutting output lines
// and records between characters.

#include "control/char_width.h"

namespace velotarn {

TCharWidth AnsiCharWidth();

}  // namespace velotarn
