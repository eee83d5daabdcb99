#include "velotarnctl/ctl_output.h"

#include "control/reply_record.h"
#include "runtime/text.h"

namespace velotarn {

namespace {

bool IsConsole(HANDLE H) {
  DWORD mode = 0;
  return GetConsoleMode(H, &mode) != 0;
}

// Output that nobody reads any more (a closed pipe) is not an error of ours: ignored.
void WriteTo(HANDLE H, const std::wstring& Text) {
  if (Text.empty()) return;
  DWORD written = 0;
  if (IsConsole(H)) {
    WriteConsoleW(H, Text.data(), static_cast<DWORD>(Text.size()), &written, nullptr);
  } else {
    std::string bytes = WideToAnsi(Text);
    WriteFile(H, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
}

}  // namespace

TRecordPrinter::TRecordPrinter(HANDLE Out) : FOut(Out), FConsole(IsConsole(Out)) {}

bool TRecordPrinter::Print(std::string_view Text) {
  if (Text != kEndMarker) {
    Write(Text);
    return false;
  }
  if (FLast == '\r') {
    Write("\n");
  } else if (FLast != '\n') {
    Write("\r\n");
  }
  Write("#END#\r\n");
  return true;
}

void TRecordPrinter::Write(std::string_view Bytes) {
  if (Bytes.empty()) return;
  FLast = Bytes.back();
  if (FConsole) {
    WriteTo(FOut, AnsiToWide(Bytes));
    return;
  }
  // Unbuffered: every record is out before the next one is awaited.
  DWORD written = 0;
  WriteFile(FOut, Bytes.data(), static_cast<DWORD>(Bytes.size()), &written, nullptr);
}

void PrintError(const std::wstring& Message) {
  WriteTo(GetStdHandle(STD_ERROR_HANDLE), Message + L"\r\n");
}

void PrintText(const std::wstring& Text) {
  std::wstring crlf;
  for (wchar_t c : Text) {
    if (c == L'\n') crlf += L'\r';
    crlf += c;
  }
  WriteTo(GetStdHandle(STD_OUTPUT_HANDLE), crlf);
}

}  // namespace velotarn
