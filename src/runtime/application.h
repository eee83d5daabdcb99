#pragma once
// TApplication: the process's application object. It owns the hidden application window (which
// receives the synchronous-call wake-ups, the service host's quit message and the system's
// broadcasts), the components made with CreateForm, and the main thread's message loop step.
//
// Threading: one instance, created, used and destroyed on the main thread. Other threads only
// post messages to Handle() and use SynchronizeCall.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/component.h"
#include "runtime/exceptions.h"
#include "runtime/handles.h"

namespace velotarn {

struct TMessage {
  UINT Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};

// A function that the application window offers every message to before its own handling.
// Returning true reports the message as handled (its Result is then the window's answer).
class TWindowHook {
 public:
  virtual bool HookMessage(TMessage& Message) = 0;

 protected:
  ~TWindowHook() = default;
};

class TApplication : public TComponent {
 public:
  using TExceptionEvent = std::function<void(TObject* sender, const Exception& error)>;
  using TInformationEvent = std::function<void(TObject* sender, const std::wstring& text)>;

  TApplication();
  ~TApplication() override;

  HWND Handle() const noexcept { return FWindow.get(); }
  const std::wstring& Title() const noexcept { return FTitle; }

  // Creates a T(owner = this). `reference` points at the object while its constructor runs,
  // and is cleared again if construction fails (the error passes on).
  template <class T>
  void CreateForm(T*& Reference) {
    CreateOwned(Reference, this);
  }

  // One step of the main thread's message loop; blocks in WaitMessage when idle.
  void HandleMessage();
  // Runs HandleMessage until WM_QUIT has been taken.
  void Run();

  // Deals with the error being handled right now (call inside a catch block): EAbort is dropped,
  // else OnException gets it, else it is shown in a message box. It goes no further.
  void HandleException(TObject* Sender);
  // Deals with `Error` as HandleException deals with the error being handled: for errors that
  // are reported rather than raised.
  void HandleError(TObject* Sender, const Exception& Error);
  // A record that is not an error (an audit entry): OnInformation gets it; without a handler
  // it goes nowhere, since nobody asked for it.
  void LogInformation(TObject* Sender, const std::wstring& Text);
  // Shows the error box of HandleException for `message`.
  void ShowException(const std::wstring& Message);

  void HookMainWindow(TWindowHook* Hook);
  void UnhookMainWindow(TWindowHook* Hook);

  bool Terminated() const noexcept { return FTerminated; }
  TExceptionEvent OnException;
  TInformationEvent OnInformation;
  bool ShowMainForm = true;

  // Shared by every CreateForm: constructs T(owner) at memory `reference` already points to.
  template <class T>
  static void CreateOwned(T*& Reference, TComponent* Owner) {
    void* memory = ::operator new(sizeof(T));
    Reference = static_cast<T*>(memory);
    try {
      new (memory) T(Owner);
    } catch (...) {
      ::operator delete(memory);
      Reference = nullptr;
      throw;
    }
  }

 private:
  static LRESULT CALLBACK WindowProc(HWND Hwnd, UINT Msg, WPARAM Wp, LPARAM Lp);
  LRESULT WndProc(UINT Msg, WPARAM Wp, LPARAM Lp);

  unique_hwnd FWindow;
  std::wstring FTitle;
  std::vector<TWindowHook*> FHooks;
  bool FTerminated = false;
};

// The application object, while it exists.
extern TApplication* Application;

// The title rule: the file name without directory and from its first "." on, every character
// after the first in lower case.
std::wstring ApplicationTitleFromPath(const std::wstring& Path);

// The "." rule of the error box: "." is appended when the last character sorts after ".".
std::wstring WithFinalPeriod(std::wstring Text);

}  // namespace velotarn
