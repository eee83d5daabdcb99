#include "control/image_name.h"

namespace velotarn {

namespace {

wchar_t AsciiUpper(wchar_t c) { return (c >= L'a' && c <= L'z') ? c - (L'a' - L'A') : c; }

bool SameAsciiUpper(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

}  // namespace

std::wstring_view ImageFileNamePart(std::wstring_view image_name) {
  size_t sep = image_name.find_last_of(L"\\:");
  return sep == std::wstring_view::npos ? image_name : image_name.substr(sep + 1);
}

bool ImageNameMatches(std::wstring_view image_name, std::wstring_view wanted) {
  return SameAsciiUpper(ImageFileNamePart(image_name), wanted) ||
         SameAsciiUpper(image_name, wanted);
}

}  // namespace velotarn
