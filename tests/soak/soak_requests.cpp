#include "soak_requests.h"

#include "runtime/sys_error.h"
#include "runtime/text.h"

namespace velotarn::test {

namespace {

std::wstring ListError(int index) {
  return L"List index out of bounds (" + std::to_wstring(index) + L")";
}

// The entry of a run whose program could not be started.
std::wstring StartError(const std::string& command_line, DWORD error) {
  return L"unable to execute command " + LogText(AnsiToWide(command_line)) + L": " +
         SysErrorMessage(error);
}

std::string RandomBytes(TRandom& random, size_t size) {
  std::string bytes(size, '\0');
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t v = random();
    for (int k = 0; k < 8; ++k) bytes[i + k] = static_cast<char>(v >> (8 * k));
  }
  for (uint64_t v = random(); i < size; ++i, v >>= 8) bytes[i] = static_cast<char>(v);
  return bytes;
}

// Random bytes that are no request: the first byte neither ends the text (NUL), nor begins a
// byte-order mark, nor could begin "connect" or "disconnect".
std::string RandomNoise(TRandom& random, size_t size) {
  std::string bytes = RandomBytes(random, size);
  unsigned char first = static_cast<unsigned char>(bytes[0]);
  if (first == 0 || first == 0xEF || first == 0xFE || first == 0xFF || first == 'c' ||
      first == 'd')
    bytes[0] = 'x';
  return bytes;
}

std::string Utf16(const std::wstring& text, bool big_endian) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (wchar_t c : text) {
    char low = static_cast<char>(c & 0xFF), high = static_cast<char>((c >> 8) & 0xFF);
    bytes.push_back(big_endian ? high : low);
    bytes.push_back(big_endian ? low : high);
  }
  return bytes;
}

}  // namespace

int Pick(TRandom& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

TRequestForm PickForm(TRandom& random) {
  int roll = Pick(random, 0, 99);
  if (roll < 50) return TRequestForm::kAnsiCrLf;
  if (roll < 60) return TRequestForm::kAnsiLf;
  if (roll < 70) return TRequestForm::kAnsiCr;
  if (roll < 80) return TRequestForm::kUtf8Bom;
  if (roll < 90) return TRequestForm::kUtf16LeBom;
  return TRequestForm::kUtf16BeBom;
}

std::string ConnectRequest(const std::wstring& command_line, const std::wstring& directory,
                           TRequestForm form, std::string_view tail) {
  const wchar_t* brk = form == TRequestForm::kAnsiLf ? L"\n"
                       : form == TRequestForm::kAnsiCr ? L"\r"
                                                       : L"\r\n";
  const std::wstring text = L"connect" + std::wstring(brk) + command_line + brk + directory;
  switch (form) {
    case TRequestForm::kUtf8Bom:
      return "\xEF\xBB\xBF" + WideToUtf8(text) + std::string(tail);
    case TRequestForm::kUtf16LeBom:
      return "\xFF\xFE" + Utf16(text, false);
    case TRequestForm::kUtf16BeBom:
      return "\xFE\xFF" + Utf16(text, true);
    default:
      return WideToAnsi(text) + std::string(tail);
  }
}

std::string PickTail(TRandom& random, bool huge) {
  if (huge) {
    const size_t size = static_cast<size_t>(Pick(random, 512 * 1024, 1024 * 1024 - 4096));
    std::string tail = "\r\n";
    while (tail.size() < size) tail += "padding line " + std::to_string(tail.size()) + "\r\n";
    return tail;
  }
  switch (Pick(random, 0, 3)) {
    case 0: return {};
    case 1: return "\r\n";  // a break at the very end adds no line
    case 2: return "\r\nfourth line\r\nfifth line";
    default: return std::string(1, '\0') + RandomBytes(random, Pick(random, 1, 300));
  }
}

TMalformed PickMalformed(TRandom& random, const std::wstring& command_line,
                         const std::wstring& directory) {
  const std::string cmd = WideToAnsi(command_line);
  const std::string dir = WideToAnsi(directory);
  TMalformed m;
  switch (Pick(random, 0, 13)) {
    case 0:
    case 1:
      m.kind = "random bytes";
      m.bytes = RandomNoise(random, Pick(random, 1, 4096));
      break;
    case 2:
      m.kind = "huge random bytes";
      m.bytes = RandomNoise(random, Pick(random, 64 * 1024, 1024 * 1024));
      break;
    case 3:
      m.kind = "zero-length message";  // no message event at all
      break;
    case 4: {
      m.kind = "empty text";
      static const char* const starts[] = {"", "\xEF\xBB\xBF", "\xFF\xFE"};
      const int which = Pick(random, 0, 2);
      m.bytes = starts[which];
      if (which != 1 || Pick(random, 0, 1) == 0)
        m.bytes += std::string(2, '\0') + RandomBytes(random, Pick(random, 0, 200));
      m.log_entry = ListError(0);
      break;
    }
    case 5:
    case 6: {
      m.kind = "connect alone";
      static const char* const forms[] = {"connect", "connect\r\n", "connect\n", "connect\r"};
      m.bytes = forms[Pick(random, 0, 3)];
      m.log_entry = ListError(1);
      break;
    }
    case 7:
    case 8: {
      m.kind = "connect without directory";
      static const char* const ends[] = {"", "\r\n", "\n"};
      m.bytes = "connect\r\n" + cmd + ends[Pick(random, 0, 2)];
      if (Pick(random, 0, 3) == 0) m.bytes += std::string(1, '\0') + "\r\n" + dir;
      m.log_entry = ListError(2);
      break;
    }
    case 9: {
      m.kind = "no command word";
      static const char* const words[] = {"Connect", " connect", "connect ", "CONNECT",
                                          "disconnect ", "Disconnect", "conn"};
      m.bytes = std::string(words[Pick(random, 0, 6)]) + "\r\n" + cmd + "\r\n" + dir;
      break;
    }
    case 10:
      m.kind = "UTF-16 without byte-order mark";  // read as ANSI: the text is "c"
      m.bytes = Utf16(L"connect\r\n" + command_line + L"\r\n" + directory, false);
      break;
    case 11: {
      m.kind = "program that cannot start";
      // An empty directory line needs two breaks after the command line: a break at the end
      // of the text adds no line.
      static const char* const dirs[] = {"\r\n", "Z:\\no\\such\\directory"};
      if (Pick(random, 0, 1) == 0) {
        m.bytes = "connect\r\nZ:\\no\\such\\program.exe run\r\n" + dir;
        m.log_entry = StartError("Z:\\no\\such\\program.exe run", ERROR_FILE_NOT_FOUND);
      } else {
        m.bytes = "connect\r\n" + cmd + "\r\n" + dirs[Pick(random, 0, 1)];
        m.log_entry = StartError(cmd, ERROR_DIRECTORY);
      }
      break;
    }
    case 12: {
      m.kind = "huge command line";
      const std::string huge(Pick(random, 40000, 1024 * 1024 - 64), 'A');
      m.bytes = "connect\r\n" + huge + "\r\n" + dir;
      m.log_entry = StartError(huge, ERROR_FILE_NOT_FOUND);  // as Wine refuses it
      break;
    }
    default:
      m.kind = "disconnect in another case";
      m.bytes = "DISCONNECT";
      break;
  }
  return m;
}

}  // namespace velotarn::test
