#pragma once
// The program's error types. Every failure that is raised carries a message text (UTF-16).
// ClassName() is the type's name as it appears in the unhandled-error box.

#include <windows.h>

#include <exception>
#include <string>

namespace velotarn {

class Exception : public std::exception {
 public:
  explicit Exception(std::wstring Message);
  const std::wstring& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FNarrow.c_str(); }
  virtual const wchar_t* ClassName() const noexcept { return L"Exception"; }
  // The code address at which the error was raised: where the error object was constructed.
  // Shown by the unhandled-error box.
  const void* RaiseAddress() const noexcept { return FRaiseAddress; }

 protected:
  void SetRaiseAddress(const void* Address) noexcept { FRaiseAddress = Address; }

 private:
  std::wstring FMessage;
  std::string FNarrow;  // UTF-8 copy for what()
  const void* FRaiseAddress = nullptr;
};

// A failed system call: "System Error.  Code: %d.\r\n%s%s", or
// "A call to an OS function failed" for code 0.
class EOSError : public Exception {
 public:
  explicit EOSError(DWORD Code, const std::wstring& Additional = L"");
  DWORD ErrorCode() const noexcept { return FCode; }
  const wchar_t* ClassName() const noexcept override { return L"EOSError"; }

 private:
  DWORD FCode;
};

// Dropped silently by TApplication::HandleException.
class EAbort : public Exception {
 public:
  explicit EAbort(std::wstring Message = L"Operation aborted") : Exception(std::move(Message)) {}
  const wchar_t* ClassName() const noexcept override { return L"EAbort"; }
};

// "List index out of bounds (%d)".
class EListError : public Exception {
 public:
  explicit EListError(int Index);
  const wchar_t* ClassName() const noexcept override { return L"EListError"; }
};

// Raises the EOSError for GetLastError() (or for the given code).
[[noreturn]] void RaiseLastOSError();
[[noreturn]] void RaiseLastOSError(DWORD Code);

// Converts whatever is being handled right now (inside a catch block) into an Exception:
// our own types pass through, anything else becomes an Exception with its what() text.
// Returns false outside a catch block.
const Exception* CurrentException(Exception& FallbackStorage);

// The message of the error being handled right now (empty outside a catch block), and of a
// stored one (empty for none): the same conversion as CurrentException.
std::wstring CurrentExceptionMessage();
std::wstring ExceptionMessage(const std::exception_ptr& Error);

}  // namespace velotarn
