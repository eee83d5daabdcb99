#include <algorithm>
#include <cstring>

#include "baseline.h"
#include "bench_util.h"
#include "runtime/exceptions.h"

namespace velotarn::bench {

unique_handle ServeOneClient(const wchar_t* name, HANDLE ready) {
  unique_handle pipe(CreateNamedPipeW(PipePath(name).c_str(), PIPE_ACCESS_DUPLEX,
                                      PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                      0, 1000, nullptr));
  if (!pipe) RaiseLastOSError();
  SetEvent(ready);
  if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
    RaiseLastOSError();
  return pipe;
}

void WriteRecord(HANDLE pipe, std::string_view text) {
  // One buffer for every record: the bytes after the terminating zero carry no meaning.
  static char record[kRecordSize];
  size_t n = std::min<size_t>(text.size(), kRecordSize - 1);
  std::memcpy(record, text.data(), n);
  record[n] = 0;
  DWORD written = 0;
  if (!WriteFile(pipe, record, kRecordSize, &written, nullptr)) RaiseLastOSError();
}

void WaitClientGone(HANDLE pipe) {
  char buffer[64];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) || GetLastError() == ERROR_MORE_DATA) {
  }
}

std::vector<std::string> RequestLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line.push_back(c);
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace velotarn::bench
