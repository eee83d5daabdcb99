#pragma once
// Pipe names as the components accept them.

#include <string>

namespace velotarn {

// Longest pipe name (UTF-16 code units) that a component accepts.
constexpr size_t kMaxPipeNameLength = 63;

// Raises EPipeException "Invalid pipe name specified!" for an empty name, a name longer than
// kMaxPipeNameLength or a name containing a backslash.
void ValidatePipeName(const std::wstring& Name);

}  // namespace velotarn
