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
VELOTARN_NOINLINE Exception::Exception(std::wstring Message)
    : FMessage(std::move(Message)),
      FNarrow(WideToUtf8(FMessage)),
      FRaiseAddress(VELOTARN_RETURN_ADDRESS()) {}

static std::wstring OSErrorText(DWORD Code, const std::wstring& Additional) {
  if (Code == 0) return L"A call to an OS function failed";
  return Format(L"System Error.  Code: %d.\r\n%ls%ls", static_cast<int>(Code),
                SysErrorMessage(Code).c_str(), Additional.c_str());
}

VELOTARN_NOINLINE EOSError::EOSError(DWORD Code, const std::wstring& Additional)
    : Exception(OSErrorText(Code, Additional)), FCode(Code) {
  SetRaiseAddress(VELOTARN_RETURN_ADDRESS());
}

EListError::EListError(int Index) : Exception(Format(L"List index out of bounds (%d)", Index)) {}

void RaiseLastOSError() { RaiseLastOSError(GetLastError()); }

void RaiseLastOSError(DWORD Code) { throw EOSError(Code); }

const Exception* CurrentException(Exception& FallbackStorage) {
  if (!std::current_exception()) return nullptr;
  try {
    throw;
  } catch (const Exception& e) {
    return &e;  // lives as long as the handling catch block
  } catch (const std::exception& e) {
    FallbackStorage = Exception(Utf8ToWide(e.what()));
  } catch (...) {
    FallbackStorage = Exception(L"Unknown exception");
  }
  return &FallbackStorage;
}

std::wstring CurrentExceptionMessage() {
  Exception fallback(L"");
  const Exception* error = CurrentException(fallback);
  return error != nullptr ? error->Message() : std::wstring();
}

std::wstring ExceptionMessage(const std::exception_ptr& Error) {
  if (!Error) return {};
  try {
    std::rethrow_exception(Error);
  } catch (...) {
    return CurrentExceptionMessage();
  }
}

}  // namespace velotarn
