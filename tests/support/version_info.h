#pragma once
// The version resource of a program file, as a file's properties show it.
//
// Threading: plain function.

#include <windows.h>

#include <map>
#include <string>

namespace velotarn::test {

struct TVersionInfo {
  bool found = false;  // the file has a version resource
  // The fixed part: major.minor.patch.build of the file and of the product.
  std::wstring file_version, product_version;
  DWORD file_type = 0;
  // The strings of the block that the resource's first translation names.
  std::map<std::wstring, std::wstring> strings;
};

TVersionInfo ReadVersionInfo(const std::wstring& path);

}  // namespace velotarn::test
