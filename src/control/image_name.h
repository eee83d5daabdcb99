#pragma once
// The process terminator's name rule. An image name matches a wanted name when its file-name
// part (the text after the last backslash or colon, or the whole name without either), or
// else the whole image name, equals the wanted name, both upper-cased. Upper-casing changes
// only the ASCII letters a to z; the comparison is otherwise exact (same length, same
// characters).
//
// No Windows include: builds on any platform.

#include <string_view>

namespace velotarn {

std::wstring_view ImageFileNamePart(std::wstring_view ImageName);

bool ImageNameMatches(std::wstring_view ImageName, std::wstring_view Wanted);

}  // namespace velotarn
