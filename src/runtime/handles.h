#pragma once
// Move-only owners for every kind of kernel and user object the program holds. Each owner
// knows its invalid value(s) and its closer; closing keeps GetLastError as it was, so an owner
// going out of scope on an error path never hides the error being reported.
//
// Threading: an owner is a plain value; it belongs to whoever holds it.

#include <windows.h>

#include <utility>

namespace velotarn {

template <class Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept = default;
  explicit UniqueHandle(Handle Value) noexcept : FHandle(Value) {}
  UniqueHandle(UniqueHandle&& Other) noexcept : FHandle(Other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& Other) noexcept {
    if (this != &Other) reset(Other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Handle get() const noexcept { return FHandle; }
  bool valid() const noexcept { return Traits::IsValid(FHandle); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing: the hand-over reads as release() at the call site.
  [[nodiscard]] Handle release() noexcept { return std::exchange(FHandle, Traits::Invalid()); }

  void reset(Handle Value = Traits::Invalid()) noexcept {
    Handle old = std::exchange(FHandle, Value);
    if (Traits::IsValid(old)) {
      DWORD saved = GetLastError();
      Traits::Close(old);
      SetLastError(saved);
    }
  }

 private:
  Handle FHandle = Traits::Invalid();
};

// What an owner needs to know of a kind of handle: its type, its closer, and whether
// INVALID_HANDLE_VALUE means "none" as well as null.
enum class TNoHandle { Null, NullOrInvalidValue };

template <class HandleType, auto Closer, TNoHandle None = TNoHandle::Null>
struct TCloserTraits {
  using Handle = HandleType;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle Value) noexcept {
    return Value != nullptr && (None == TNoHandle::Null || Value != INVALID_HANDLE_VALUE);
  }
  static void Close(Handle Value) noexcept { Closer(Value); }
};

// An owner for handles of type H closed with Closer.
template <class H, auto Closer, TNoHandle None = TNoHandle::Null>
using unique_any = UniqueHandle<TCloserTraits<H, Closer, None>>;

// Kernel objects: both NULL and INVALID_HANDLE_VALUE mean "none" (CreateFileW and
// CreateNamedPipeW fail with the latter, CreateEventW and OpenProcess with the former).
using unique_handle = unique_any<HANDLE, ::CloseHandle, TNoHandle::NullOrInvalidValue>;
// A folder's change notification (FindFirstChangeNotificationW fails with INVALID_HANDLE_VALUE).
using unique_find_change =
    unique_any<HANDLE, ::FindCloseChangeNotification, TNoHandle::NullOrInvalidValue>;
using unique_schandle = unique_any<SC_HANDLE, ::CloseServiceHandle>;
using unique_event_source = unique_any<HANDLE, ::DeregisterEventSource>;
using unique_hglobal = unique_any<HGLOBAL, ::GlobalFree>;
using unique_hlocal = unique_any<HLOCAL, ::LocalFree>;
using unique_hwnd = unique_any<HWND, ::DestroyWindow>;
using unique_hmodule = unique_any<HMODULE, ::FreeLibrary>;
using unique_hkey = unique_any<HKEY, ::RegCloseKey>;

// A locked global memory block, unlocked on scope exit.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL Block) noexcept
      : FHandle(Block), FPointer(::GlobalLock(Block)) {}
  ~GlobalLockGuard() {
    if (FPointer) ::GlobalUnlock(FHandle);
  }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
  void* data() const noexcept { return FPointer; }

 private:
  HGLOBAL FHandle;
  void* FPointer;
};

}  // namespace velotarn
