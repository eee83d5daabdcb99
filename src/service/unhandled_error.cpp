#include "service/unhandled_error.h"

#include <windows.h>

#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "service/service_application.h"

namespace velotarn {

std::wstring UnhandledErrorText(const wchar_t* type_name, const std::wstring& module_name,
                                const void* address, const std::wstring& message) {
  bool has_period = !message.empty() && message.back() == L'.';
  return Format(L"Exception %ls in module %ls at %p.\r\n%ls%ls\r\n", type_name,
                module_name.c_str(), address, message.c_str(), has_period ? L"" : L".");
}

void ReportUnhandledError() {
  Exception fallback(L"");
  const Exception* error = CurrentException(fallback);
  if (error == nullptr) return;
  const void* address = error == &fallback ? nullptr : error->RaiseAddress();
  std::wstring text = UnhandledErrorText(error->ClassName(), ExtractFileName(ModuleFileName()),
                                         address, error->Message());
  if (ServiceApplication != nullptr && !TServiceApplication::IsRegistrationRun()) {
    ServiceApplication->EventLogger().LogMessage(text);
    return;
  }
  MessageBoxW(nullptr, text.c_str(), L"Application Error", MB_TASKMODAL | MB_ICONERROR);
}

}  // namespace velotarn
