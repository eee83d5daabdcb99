#pragma once
// Command-line arguments and switches, without any Windows header (built natively for fuzzing).
//
// Cutting: arguments are separated by characters with codes 1 to 32; a stretch in double quotes
// belongs to the argument whatever it contains and loses its quotes (there is no escape
// character); a pair of double quotes at the start of an argument is skipped, so an empty pair
// makes no argument. A NUL character ends the line.
//
// Threading: pure functions, any thread.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velotarn {

// The arguments of `line`, the program first.
std::vector<std::wstring> SplitCommandLine(std::wstring_view Line);

// Text comparison used for switch names (the program passes the user locale's
// case-insensitive comparison).
using TTextEquals = std::function<bool(std::wstring_view a, std::wstring_view b)>;

// True when an argument after the program is "-" or "/" followed by `name`, as `equals` sees it.
bool FindSwitch(const std::vector<std::wstring>& Args, std::wstring_view Name,
                const TTextEquals& Equals);

}  // namespace velotarn
