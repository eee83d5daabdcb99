#include "version_info.h"

#include <vector>

#include "runtime/text.h"

namespace velotarn::test {

namespace {
std::wstring Dotted(DWORD high, DWORD low) {
  return Format(L"%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
}
}  // namespace

TVersionInfo ReadVersionInfo(const std::wstring& path) {
  TVersionInfo info;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return info;
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return info;

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
      length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE)
    return info;
  info.found = true;
  info.file_version = Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
  info.product_version = Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
  info.file_type = fixed->dwFileType;

  struct Translation {
    WORD language, code_page;
  }* translation = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation",
                      reinterpret_cast<void**>(&translation), &length) ||
      length < sizeof(Translation))
    return info;
  for (const wchar_t* name : {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                              L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
    std::wstring query = Format(L"\\StringFileInfo\\%04x%04x\\%ls", translation->language,
                                translation->code_page, name);
    wchar_t* value = nullptr;
    if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) &&
        value != nullptr)
      info.strings[name] = value;
  }
  return info;
}

}  // namespace velotarn::test
