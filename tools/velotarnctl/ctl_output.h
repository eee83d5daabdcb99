#pragma once
// What velotarnctl writes. Each record's text goes out as soon as it arrives, as the program
// wrote it (its CR and LF bytes kept); an end marker goes on a line of its own. Into a console
// text is written as characters, elsewhere as the ANSI bytes the service sent.
//
// Threading: main thread only.

#include <windows.h>

#include <string>
#include <string_view>

namespace velotarn {

class TRecordPrinter {
 public:
  explicit TRecordPrinter(HANDLE Out);
  // Prints one record's text; true when it is the end marker.
  bool Print(std::string_view Text);

 private:
  void Write(std::string_view Bytes);

  HANDLE FOut;
  bool FConsole;
  char FLast = '\n';  // the last byte written: an end marker needs a fresh line
};

// Writes a message and a line end to the standard error.
void PrintError(const std::wstring& Message);
// Writes text to the standard output.
void PrintText(const std::wstring& Text);

}  // namespace velotarn
