#include "runtime/application.h"

#include <algorithm>
#include <cassert>

#include "runtime/synchronize.h"
#include "runtime/text.h"

namespace velotarn {

TApplication* Application = nullptr;

namespace {
constexpr wchar_t kWindowClass[] = L"TApplication";

void RegisterWindowClass(WNDPROC Proc) {
  WNDCLASSW wc{};
  if (GetClassInfoW(GetModuleHandleW(nullptr), kWindowClass, &wc)) return;
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kWindowClass;
  if (!RegisterClassW(&wc)) RaiseLastOSError();
}
}  // namespace

std::wstring ApplicationTitleFromPath(const std::wstring& Path) {
  std::wstring name = ExtractFileName(Path);
  name = name.substr(0, name.find(L'.'));
  if (name.size() > 1) CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
  return name;
}

std::wstring WithFinalPeriod(std::wstring Text) {
  if (!Text.empty() && Text.back() > L'.') Text.push_back(L'.');
  return Text;
}

TApplication::TApplication() : TComponent(nullptr) {
  assert(IsMainThread());
  assert(Application == nullptr);
  FTitle = ApplicationTitleFromPath(ModuleFileName());
  RegisterWindowClass(&TApplication::WindowProc);
  HWND hwnd = CreateWindowExW(0, kWindowClass, FTitle.c_str(),
                              WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU, 0, 0, 0, 0,
                              nullptr, nullptr, GetModuleHandleW(nullptr), this);
  if (hwnd == nullptr) RaiseLastOSError();
  FWindow.reset(hwnd);
  Application = this;
  SetWakeWindow(hwnd);
}

TApplication::~TApplication() {
  DestroyComponents();
  SetWakeWindow(nullptr);
  FWindow.reset();
  Application = nullptr;
}

LRESULT CALLBACK TApplication::WindowProc(HWND Hwnd, UINT Msg, WPARAM Wp, LPARAM Lp) {
  if (Msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(Lp);
    SetWindowLongPtrW(Hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* self = reinterpret_cast<TApplication*>(GetWindowLongPtrW(Hwnd, GWLP_USERDATA));
  if (self == nullptr || self->FWindow.get() != Hwnd) return DefWindowProcW(Hwnd, Msg, Wp, Lp);
  return self->WndProc(Msg, Wp, Lp);
}

LRESULT TApplication::WndProc(UINT Msg, WPARAM Wp, LPARAM Lp) {
  TMessage message{Msg, Wp, Lp, 0};
  // A hook may unhook itself: walk a copy.
  std::vector<TWindowHook*> hooks = FHooks;
  for (TWindowHook* hook : hooks)
    if (hook->HookMessage(message)) return message.Result;
  switch (Msg) {
    case WM_NULL:
      CheckSynchronize();
      return 0;
    case WM_ENDSESSION:
      // The session really ends: leave the loop so that the program ends in order.
      if (Wp) PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(FWindow.get(), Msg, Wp, Lp);
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
      FTerminated = true;
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
  while (!FTerminated) HandleMessage();
}

void TApplication::HandleException(TObject* Sender) {
  Exception fallback(L"");
  const Exception* error = CurrentException(fallback);
  if (error != nullptr) HandleError(Sender, *error);
}

void TApplication::HandleError(TObject* Sender, const Exception& Error) {
  if (dynamic_cast<const EAbort*>(&Error) != nullptr) return;
  if (OnException) {
    OnException(Sender, Error);
    return;
  }
  ShowException(Error.Message());
}

void TApplication::LogInformation(TObject* Sender, const std::wstring& Text) {
  if (OnInformation) OnInformation(Sender, Text);
}

void TApplication::ShowException(const std::wstring& Message) {
  std::wstring text = WithFinalPeriod(Message);
  MessageBoxW(FWindow.get(), text.c_str(), FTitle.c_str(), MB_OK | MB_ICONSTOP);
}

void TApplication::HookMainWindow(TWindowHook* Hook) { FHooks.push_back(Hook); }

void TApplication::UnhookMainWindow(TWindowHook* Hook) {
  auto it = std::find(FHooks.begin(), FHooks.end(), Hook);
  if (it != FHooks.end()) FHooks.erase(it);
}

}  // namespace velotarn
