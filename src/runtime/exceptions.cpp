#include "runtime/exceptions.h"

#include "runtime/sys_error.h"
#include "runtime/text.h"

#if defined(_MSC_VER)
#include <intrin.h>
#define VELOTARN_RETURN_ADDRESS() _ReturnAddress()
#define VELOTARN_NOINLINE __declspec(noinline)
#else
#define VELOTARN_RETURN_ADDRESS() __builtin_return_address(0)
#define VELOTARN_NOINLINE __attribute__((noinline))
#endif

namespace velotarn {

// Out of line on purpose: the constructor's return address is the raise site.
VELOTARN_NOINLINE Exception::Exception(std::wstring message)
    : message_(std::move(message)),
      narrow_(WideToUtf8(message_)),
      raise_address_(VELOTARN_RETURN_ADDRESS()) {}

static std::wstring OSErrorText(DWORD code, const std::wstring& additional) {
  if (code == 0) return L"A call to an OS function failed";
  return Format(L"System Error.  Code: %d.\r\n%ls%ls", static_cast<int>(code),
                SysErrorMessage(code).c_str(), additional.c_str());
}

VELOTARN_NOINLINE EOSError::EOSError(DWORD code, const std::wstring& additional)
    : Exception(OSErrorText(code, additional)), code_(code) {
  SetRaiseAddress(VELOTARN_RETURN_ADDRESS());
}

EListError::EListError(int index) : Exception(Format(L"List index out of bounds (%d)", index)) {}

void RaiseLastOSError() { RaiseLastOSError(GetLastError()); }

void RaiseLastOSError(DWORD code) { throw EOSError(code); }

const Exception* CurrentException(Exception& fallback_storage) {
  if (!std::current_exception()) return nullptr;
  try {
    throw;
  } catch (const Exception& e) {
    return &e;  // lives as long as the handling catch block
  } catch (const std::exception& e) {
    fallback_storage = Exception(Utf8ToWide(e.what()));
  } catch (...) {
    fallback_storage = Exception(L"Unknown exception");
  }
  return &fallback_storage;
}

std::wstring CurrentExceptionMessage() {
  Exception fallback(L"");
  const Exception* error = CurrentException(fallback);
  return error != nullptr ? error->Message() : std::wstring();
}

std::wstring ExceptionMessage(const std::exception_ptr& error) {
  if (!error) return {};
  try {
    std::rethrow_exception(error);
  } catch (...) {
    return CurrentExceptionMessage();
  }
}

}  // namespace velotarn
