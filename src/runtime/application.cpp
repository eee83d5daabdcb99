#include "runtime/application.h"

#include <algorithm>
#include <cassert>

#include "runtime/synchronize.h"
#include "runtime/text.h"

namespace velotarn {

TApplication* Application = nullptr;

namespace {
constexpr wchar_t kWindowClass[] = L"TApplication";

void RegisterWindowClass(WNDPROC proc) {
  WNDCLASSW wc{};
  if (GetClassInfoW(GetModuleHandleW(nullptr), kWindowClass, &wc)) return;
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kWindowClass;
  if (!RegisterClassW(&wc)) RaiseLastOSError();
}
}  // namespace

std::wstring ApplicationTitleFromPath(const std::wstring& path) {
  std::wstring name = ExtractFileName(path);
  name = name.substr(0, name.find(L'.'));
  if (name.size() > 1) CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
  return name;
}

std::wstring WithFinalPeriod(std::wstring text) {
  if (!text.empty() && text.back() > L'.') text.push_back(L'.');
  return text;
}

TApplication::TApplication() : TComponent(nullptr) {
  assert(IsMainThread());
  assert(Application == nullptr);
  title_ = ApplicationTitleFromPath(ModuleFileName());
  RegisterWindowClass(&TApplication::WindowProc);
  HWND hwnd = CreateWindowExW(0, kWindowClass, title_.c_str(),
                              WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU, 0, 0, 0, 0,
                              nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (hwnd == nullptr) RaiseLastOSError();
  window_.reset(hwnd);
  Application = this;
  SetWakeWindow(hwnd);
}

TApplication::~TApplication() {
  DestroyComponents();
  SetWakeWindow(nullptr);
  window_.reset();
  Application = nullptr;
}

LRESULT CALLBACK TApplication::WindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TApplication*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (self == nullptr || self->window_.get() != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
  return self->WndProc(msg, wp, lp);
}

LRESULT TApplication::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  TMessage message{msg, wp, lp, 0};
  // A hook may unhook itself: walk a copy.
  std::vector<TWindowHook*> hooks = hooks_;
  for (TWindowHook* hook : hooks)
    if (hook->HookMessage(message)) return message.Result;
  switch (msg) {
    case WM_NULL:
      CheckSynchronize();
      return 0;
    case WM_ENDSESSION:
      // The session really ends: leave the loop so that the program ends in order.
      if (wp) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window_.get(), msg, wp, lp);
  }
}

void TApplication::HandleMessage() {
  assert(IsMainThread());
  MSG msg;
  if (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) {
    bool unicode = msg.hwnd == nullptr || IsWindowUnicode(msg.hwnd);
    BOOL got = unicode ? PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)
                       : PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
    if (!got) return;
    if (msg.message == WM_QUIT) {
      terminated_ = true;
      return;
    }
    TranslateMessage(&msg);
    if (unicode)
      DispatchMessageW(&msg);
    else
      DispatchMessageA(&msg);
    return;
  }
  if (!CheckSynchronize()) WaitMessage();
}

void TApplication::Run() {
  while (!terminated_) HandleMessage();
}

void TApplication::HandleException(TObject* sender) {
  Exception fallback(L"");
  const Exception* error = CurrentException(fallback);
  if (error == nullptr || dynamic_cast<const EAbort*>(error) != nullptr) return;
  if (OnException) {
    OnException(sender, *error);
    return;
  }
  ShowException(error->Message());
}

void TApplication::ShowException(const std::wstring& message) {
  std::wstring text = WithFinalPeriod(message);
  MessageBoxW(window_.get(), text.c_str(), title_.c_str(), MB_OK | MB_ICONSTOP);
}

void TApplication::HookMainWindow(TWindowHook* hook) { hooks_.push_back(hook); }

void TApplication::UnhookMainWindow(TWindowHook* hook) {
  auto it = std::find(hooks_.begin(), hooks_.end(), hook);
  if (it != hooks_.end()) hooks_.erase(it);
}

}  // namespace velotarn
