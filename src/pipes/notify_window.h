#pragma once
// The hidden notification window of a pipe component, shared plumbing of server and client:
// a zero-size top-level tool window (not message-only, so it also gets the system's broadcasts)
// whose procedure hands every message to the component. An error that escapes the component's
// handling goes to the application object's error handling; the loop goes on.
//
// Threading: main thread only.

#include <windows.h>

#include <functional>

#include "runtime/handles.h"
#include "runtime/memory_stream.h"

namespace velotarn {

class TNotifyHandler {
 public:
  virtual LRESULT HandleNotify(HWND Window, UINT Msg, WPARAM WParam, LPARAM LParam) = 0;

 protected:
  ~TNotifyHandler() = default;
};

// Creates the window for `handler`, which must outlive it (see DestroyNotifyWindow).
unique_hwnd CreateNotifyWindow(TNotifyHandler* Handler);

// Unhooks the handler, frees the message blocks still queued for the window and destroys it.
// Call before the handler's own members go; posts must already be impossible (TPipeLink).
void DestroyNotifyWindow(unique_hwnd& Window);

// Hands a WM_PIPE_MESSAGE block to `deliver` as a stream positioned at 0 (only when the block
// holds at least one byte) and frees the block on every path, also when `deliver` raises.
void DeliverMessageBlock(HGLOBAL block, const std::function<void(TMemoryStream*)>& deliver);

}  // namespace velotarn
