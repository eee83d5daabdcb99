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
  explicit UniqueHandle(Handle h) noexcept : h_(h) {}
  UniqueHandle(UniqueHandle&& o) noexcept : h_(o.release()) {}
  UniqueHandle& operator=(UniqueHandle&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  Handle get() const noexcept { return h_; }
  bool valid() const noexcept { return Traits::IsValid(h_); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing: the hand-over reads as release() at the call site.
  [[nodiscard]] Handle release() noexcept { return std::exchange(h_, Traits::Invalid()); }

  void reset(Handle h = Traits::Invalid()) noexcept {
    Handle old = std::exchange(h_, h);
    if (Traits::IsValid(old)) {
      DWORD saved = GetLastError();
      Traits::Close(old);
      SetLastError(saved);
    }
  }

 private:
  Handle h_ = Traits::Invalid();
};

// Kernel objects closed with CloseHandle. Both NULL and INVALID_HANDLE_VALUE mean "none":
// CreateFileW/CreateNamedPipeW fail with the latter, CreateEventW/OpenProcess with the former.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
using unique_handle = UniqueHandle<KernelHandleTraits>;

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::CloseServiceHandle(h); }
};
using unique_schandle = UniqueHandle<ServiceHandleTraits>;

struct EventSourceTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::DeregisterEventSource(h); }
};
using unique_event_source = UniqueHandle<EventSourceTraits>;

struct GlobalMemoryTraits {
  using Handle = HGLOBAL;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::GlobalFree(h); }
};
using unique_hglobal = UniqueHandle<GlobalMemoryTraits>;

struct LocalMemoryTraits {
  using Handle = HLOCAL;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::LocalFree(h); }
};
using unique_hlocal = UniqueHandle<LocalMemoryTraits>;

struct WindowTraits {
  using Handle = HWND;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::DestroyWindow(h); }
};
using unique_hwnd = UniqueHandle<WindowTraits>;

struct ModuleTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsValid(Handle h) noexcept { return h != nullptr; }
  static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};
using unique_hmodule = UniqueHandle<ModuleTraits>;

// A locked global memory block, unlocked on scope exit.
class GlobalLockGuard {
 public:
  explicit GlobalLockGuard(HGLOBAL h) noexcept : h_(h), p_(::GlobalLock(h)) {}
  ~GlobalLockGuard() {
    if (p_) ::GlobalUnlock(h_);
  }
  GlobalLockGuard(const GlobalLockGuard&) = delete;
  GlobalLockGuard& operator=(const GlobalLockGuard&) = delete;
  void* data() const noexcept { return p_; }

 private:
  HGLOBAL h_;
  void* p_;
};

}  // namespace velotarn
