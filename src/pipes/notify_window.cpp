#include "pipes/notify_window.h"

#include <cassert>

#include "pipes/pipe_types.h"
#include "runtime/application.h"
#include "runtime/synchronize.h"

namespace velotarn {

namespace {

constexpr wchar_t kWindowClass[] = L"TPipeNotifyWindow";

LRESULT CALLBACK NotifyWindowProc(HWND Hwnd, UINT Msg, WPARAM Wp, LPARAM Lp) {
  if (Msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(Lp);
    SetWindowLongPtrW(Hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* handler = reinterpret_cast<TNotifyHandler*>(GetWindowLongPtrW(Hwnd, GWLP_USERDATA));
  if (handler == nullptr) {
    // No component (any more): a stray message block must still be freed.
    if (Msg == WM_PIPE_MESSAGE) GlobalFree(reinterpret_cast<HGLOBAL>(Lp));
    return DefWindowProcW(Hwnd, Msg, Wp, Lp);
  }
  try {
    return handler->HandleNotify(Hwnd, Msg, Wp, Lp);
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

unique_hwnd CreateNotifyWindow(TNotifyHandler* Handler) {
  assert(IsMainThread());
  RegisterWindowClass();
  HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                              nullptr, GetModuleHandleW(nullptr), Handler);
  if (hwnd == nullptr) RaiseLastOSError();
  return unique_hwnd(hwnd);
}

void DestroyNotifyWindow(unique_hwnd& Window) {
  assert(IsMainThread());
  if (!Window) return;
  SetWindowLongPtrW(Window.get(), GWLP_USERDATA, 0);
  MSG msg;
  while (PeekMessageW(&msg, Window.get(), WM_PIPE_MESSAGE, WM_PIPE_MESSAGE, PM_REMOVE))
    GlobalFree(reinterpret_cast<HGLOBAL>(msg.lParam));
  Window.reset();
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
