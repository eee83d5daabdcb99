#pragma once
// What becomes of an error that escapes the program's entry: the "Application Error" box, or,
// in a run that nobody watches (anything but install and uninstall), an entry in the
// program-file event log with the same text.
//
// Threading: main thread.

#include <string>

namespace velotarn {

class Exception;

// "Exception <type> in module <program file> at <address>.\r\n<message><.>\r\n", with "." added
// when the message does not end with one.
std::wstring UnhandledErrorText(const wchar_t* TypeName, const std::wstring& ModuleName,
                                const void* Address, const std::wstring& Message);

// Inside a catch block: reports the error being handled.
void ReportUnhandledError();

}  // namespace velotarn
