#pragma once
// A client of the control pipe: a RawPipe that sends requests while a TPipeReader collects
// every reply message, so that the replies are checked byte for byte and independently of the
// pipe components.
//
// Threading: used by one thread. With PumpWait (the default) its waits keep the main thread's
// loop running, as a control module in the same process needs; PlainWait for a service in
// another process.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pipe_reader.h"
#include "protocol.h"
#include "raw_pipe.h"

namespace velotarn::test {

class TRecordClient {
 public:
  // Connects to \\.\pipe\<pipe_name>, waiting up to `timeout_ms` for an instance.
  explicit TRecordClient(const std::wstring& pipe_name, TWait wait = PumpWait,
                         DWORD timeout_ms = 20000);
  ~TRecordClient() { Close(); }
  TRecordClient(const TRecordClient&) = delete;
  TRecordClient& operator=(const TRecordClient&) = delete;

  bool Connected() const { return pipe_.IsOpen(); }
  // Writes `bytes` as one message; replies keep being collected meanwhile.
  bool Send(std::string_view bytes, DWORD timeout_ms = 30000) {
    return pipe_.Send(bytes, timeout_ms);
  }
  // Ends the connection: the reader stops, our end is closed.
  void Close();

  // Every message received so far, whole, and their texts (up to the first zero byte).
  std::vector<std::string> Messages() const;
  std::vector<std::string> Texts() const { return RecordTexts(Messages()); }
  size_t EndMarkers() const { return CountEndMarkers(Texts()); }
  // The server closed its end; the error the read broke with.
  bool Broken() const { return reader_ && reader_->Broken(); }
  DWORD BreakError() const { return reader_ ? reader_->BreakError() : 0; }
  TPipeReader* Reader() { return reader_.get(); }

  // Waits until `done` holds or the bound has passed; returns done().
  bool WaitFor(const std::function<bool(const TRecordClient&)>& done, DWORD timeout_ms = 20000);
  bool WaitEndMarkers(size_t count, DWORD timeout_ms = 20000);

 private:
  RawPipe pipe_;
  std::unique_ptr<TPipeReader> reader_;
};

}  // namespace velotarn::test
