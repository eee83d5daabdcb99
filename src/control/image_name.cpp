#include "control/image_name.h"

namespace velotarn {

namespace {

wchar_t AsciiUpper(wchar_t Character) {
  return (Character >= L'a' && Character <= L'z') ? Character - (L'a' - L'A') : Character;
}

bool SameAsciiUpper(std::wstring_view Left, std::wstring_view Right) {
  if (Left.size() != Right.size()) return false;
  for (size_t i = 0; i < Left.size(); ++i)
    if (AsciiUpper(Left[i]) != AsciiUpper(Right[i])) return false;
  return true;
}

}  // namespace

std::wstring_view ImageFileNamePart(std::wstring_view ImageName) {
  size_t sep = ImageName.find_last_of(L"\\:");
  return sep == std::wstring_view::npos ? ImageName : ImageName.substr(sep + 1);
}

bool ImageNameMatches(std::wstring_view ImageName, std::wstring_view Wanted) {
  return SameAsciiUpper(ImageFileNamePart(ImageName), Wanted) || SameAsciiUpper(ImageName, Wanted);
}

}  // namespace velotarn
