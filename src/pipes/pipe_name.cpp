#include "pipes/pipe_name.h"

#include "pipes/pipe_types.h"

namespace velotarn {

void ValidatePipeName(const std::wstring& Name) {
  if (Name.empty() || Name.size() > kMaxPipeNameLength || Name.find(L'\\') != std::wstring::npos)
    throw EPipeException(L"Invalid pipe name specified!");
}

}  // namespace velotarn
