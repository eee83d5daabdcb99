#pragma once
// Types shared by the pipe server and client components and by their owners.

#include <windows.h>

#include <cstdint>
#include <functional>

#include "runtime/component.h"
#include "runtime/exceptions.h"
#include "runtime/memory_stream.h"

namespace velotarn {

// A Windows pipe handle as a pointer-sized unsigned integer. For the server it is the server
// end of one connection and names that connection in every event and in Write.
using HPIPE = UINT_PTR;

enum TPipeContext : int { pcListener = 0, pcWorker = 1 };

// Every event is bound to an object; Sender is the component that raises it.
using TOnPipeConnect = std::function<void(TObject* Sender, HPIPE Pipe)>;
using TOnPipeDisconnect = std::function<void(TObject* Sender, HPIPE Pipe)>;
using TOnPipeMessage = std::function<void(TObject* Sender, HPIPE Pipe, TMemoryStream* Stream)>;
using TOnPipeSent = std::function<void(TObject* Sender, HPIPE Pipe, uint32_t Size)>;
using TOnPipeError =
    std::function<void(TObject* Sender, HPIPE Pipe, TPipeContext PipeContext, int32_t ErrorCode)>;

class EPipeException : public Exception {
 public:
  using Exception::Exception;
  const wchar_t* ClassName() const noexcept override { return L"EPipeException"; }
};

// The error a server connection ends with when its client stopped reading: its queue of
// records would have passed kMaxQueuedBytes (see TPipeServer::Write). "Not enough quota is
// available to process this command."
constexpr int32_t kErrorPeerNotReading = ERROR_NOT_ENOUGH_QUOTA;

// Notification messages posted by pipe threads to their component's window.
constexpr UINT WM_PIPE_ERROR_LISTENER = WM_USER + 100;
constexpr UINT WM_PIPE_ERROR_WORKER = WM_USER + 101;
constexpr UINT WM_PIPE_CONNECT = WM_USER + 102;
constexpr UINT WM_PIPE_DISCONNECT = WM_USER + 103;
constexpr UINT WM_PIPE_SENT = WM_USER + 104;
constexpr UINT WM_PIPE_MESSAGE = WM_USER + 105;

}  // namespace velotarn
