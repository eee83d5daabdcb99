// The terminator's name rule against a model: the file-name part (after the last backslash or
// colon) or the whole image name equals the wanted name, ASCII letters compared without case.
#include <cstdint>
#include <string>

#include "control/image_name.h"

namespace {

std::wstring Upper(std::wstring_view s) {
  std::wstring u(s);
  for (wchar_t& c : u)
    if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  return u;
}

bool Model(std::wstring_view image, std::wstring_view wanted) {
  size_t cut = image.find_last_of(L"\\:");
  std::wstring_view part = cut == std::wstring_view::npos ? image : image.substr(cut + 1);
  return Upper(part) == Upper(wanted) || Upper(image) == Upper(wanted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input holds two UTF-16 strings separated by a zero code unit.
  std::wstring all;
  for (size_t i = 0; i + 1 < size; i += 2) all.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  size_t sep = all.find(L'\0');
  std::wstring image = all.substr(0, sep);
  std::wstring wanted = sep == std::wstring::npos ? L"OPENVPN.EXE" : all.substr(sep + 1);
  if (velotarn::ImageNameMatches(image, wanted) != Model(image, wanted)) __builtin_trap();
  return 0;
}
