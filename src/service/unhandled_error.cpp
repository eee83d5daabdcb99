#include "service/unhandled_error.h"

#include <windows.h>

#include "runtime/exceptions.h"
#include "runtime/text.h"
#include "service/service_application.h"

namespace velotarn {

std::wstring UnhandledErrorText(const wchar_t* TypeName, const std::wstring& ModuleName,
                                const void* Address, const std::wstring& Message) {
  bool has_period = !Message.empty() && Message.back() == L'.';
  return Format(L"Exception %ls in module %ls at %p.\r\n%ls%ls\r\n", TypeName, ModuleName.c_str(),
                Address, Message.c_str(), has_period ? L"" : L".");
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
