// The terminator's name rule, checked by properties instead of a copy of itself:
// - a name always matches itself, and "<anything>\<name>" or "<anything>:<name>" matches a
//   name without separators;
// - flipping the case of ASCII letters on either side never changes the answer;
// - the file-name part is what follows the last backslash or colon;
// - a match means that the file-name part (or the whole image name) and the wanted name have
//   the same length and, character by character, are equal or the same ASCII letter.
#include <cstdint>
#include <string>

#include "control/image_name.h"

using velotarn::ImageFileNamePart;
using velotarn::ImageNameMatches;

namespace {

bool IsAsciiLetter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

std::wstring FlipCase(std::wstring s) {
  for (wchar_t& c : s)
    if (IsAsciiLetter(c)) c = static_cast<wchar_t>(c ^ 0x20);
  return s;
}

bool SameBarCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == b[i]) continue;
    if (!IsAsciiLetter(a[i]) || (a[i] ^ 0x20) != b[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The input holds two UTF-16 strings separated by a zero code unit.
  std::wstring all;
  for (size_t i = 0; i + 1 < size; i += 2) all.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
  size_t sep = all.find(L'\0');
  std::wstring image = all.substr(0, sep);
  std::wstring wanted = sep == std::wstring::npos ? L"OPENVPN.EXE" : all.substr(sep + 1);

  // The file-name part: the end of the image name after its last separator, if any.
  const std::wstring_view part = ImageFileNamePart(image);
  if (part.find_first_of(L"\\:") != std::wstring_view::npos) __builtin_trap();
  if (std::wstring_view(image).substr(image.size() - part.size()) != part) __builtin_trap();
  if (part.size() < image.size() && image[image.size() - part.size() - 1] != L'\\' &&
      image[image.size() - part.size() - 1] != L':')
    __builtin_trap();

  const bool match = ImageNameMatches(image, wanted);
  if (match != ImageNameMatches(FlipCase(image), wanted)) __builtin_trap();
  if (match != ImageNameMatches(image, FlipCase(wanted))) __builtin_trap();
  if (match != (SameBarCase(part, wanted) || SameBarCase(image, wanted)))
    __builtin_trap();
  if (!ImageNameMatches(wanted, wanted)) __builtin_trap();
  if (wanted.find_first_of(L"\\:") == std::wstring::npos) {
    if (!ImageNameMatches(image + L"\\" + wanted, wanted)) __builtin_trap();
    if (!ImageNameMatches(image + L":" + wanted, wanted)) __builtin_trap();
  }
  return 0;
}
