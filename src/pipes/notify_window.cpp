#include "pipes/notify_window.h"

#include <cassert>

#include "pipes/pipe_types.h"
#include "runtime/application.h"
#include "runtime/synchronize.h"

namespace velotarn {

namespace {

constexpr wchar_t kWindowClass[] = L"TPipeNotifyWindow";

LRESULT CALLBACK NotifyWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* handler = reinterpret_cast<TNotifyHandler*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (handler == nullptr) {
    // No component (any more): a stray message block must still be freed.
    if (msg == WM_PIPE_MESSAGE) GlobalFree(reinterpret_cast<HGLOBAL>(lp));
    return DefWindowProcW(hwnd, msg, wp, lp);
  }
  try {
    return handler->HandleNotify(hwnd, msg, wp, lp);
  } catch (...) {
    // An event handler's error must not unwind through the system's dispatch code.
    if (Application != nullptr) Application->HandleException(dynamic_cast<TObject*>(handler));
    return 0;
  }
}

void RegisterWindowClass() {
  WNDCLASSW wc{};
  if (GetClassInfoW(GetModuleHandleW(nullptr), kWindowClass, &wc)) return;
  wc.lpfnWndProc = &NotifyWindowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kWindowClass;
  if (!RegisterClassW(&wc)) RaiseLastOSError();
}

}  // namespace

unique_hwnd CreateNotifyWindow(TNotifyHandler* handler) {
  assert(IsMainThread());
  RegisterWindowClass();
  HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, GetModuleHandleW(nullptr), handler);
  if (hwnd == nullptr) RaiseLastOSError();
  return unique_hwnd(hwnd);
}

void DestroyNotifyWindow(unique_hwnd& window) {
  assert(IsMainThread());
  if (!window) return;
  SetWindowLongPtrW(window.get(), GWLP_USERDATA, 0);
  MSG msg;
  while (PeekMessageW(&msg, window.get(), WM_PIPE_MESSAGE, WM_PIPE_MESSAGE, PM_REMOVE))
    GlobalFree(reinterpret_cast<HGLOBAL>(msg.lParam));
  window.reset();
}

void DeliverMessageBlock(HGLOBAL block, const std::function<void(TMemoryStream*)>& deliver) {
  unique_hglobal owner(block);
  SIZE_T size = GlobalSize(block);
  if (size == 0) return;
  TMemoryStream stream;
  {
    GlobalLockGuard lock(block);
    if (lock.data() == nullptr) return;
    stream.Write(lock.data(), static_cast<int64_t>(size));
  }
  stream.SetPosition(0);
  deliver(&stream);
}

}  // namespace velotarn
