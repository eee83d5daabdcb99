// Error texts and text conversions as other parts of the program show them.
#include <gtest/gtest.h>

#include "runtime/exceptions.h"
#include "runtime/sys_error.h"
#include "runtime/text.h"

using namespace velotarn;

TEST(Exceptions, OSErrorTextHasCodeAndSystemMessage) {
  EOSError e(2);
  std::wstring expected = L"System Error.  Code: 2.\r\n" + SysErrorMessage(2);
  EXPECT_EQ(e.Message(), expected);
  EXPECT_EQ(e.ErrorCode(), 2u);
  EXPECT_STREQ(e.ClassName(), L"EOSError");
  EXPECT_EQ(EOSError(0).Message(), L"A call to an OS function failed");
}

TEST(Exceptions, SystemMessageHasNoTrailingBlanksOrFullStops) {
  for (DWORD code : {2u, 5u, 1060u, 1063u, 1073u}) {
    std::wstring text = SysErrorMessage(code);
    ASSERT_FALSE(text.empty()) << code;
    EXPECT_NE(text.back(), L'.') << code;
    EXPECT_GT(text.back(), L' ') << code;
  }
  EXPECT_EQ(TrimMessageTail(L"File not found. \r\n\t.."), L"File not found");
  EXPECT_EQ(TrimMessageTail(L"...  "), L"");
}

TEST(Exceptions, ListErrorAndRaiseLastOSError) {
  EXPECT_EQ(EListError(3).Message(), L"List index out of bounds (3)");
  EXPECT_EQ(EListError(-1).Message(), L"List index out of bounds (-1)");
  SetLastError(ERROR_ACCESS_DENIED);
  try {
    RaiseLastOSError();
    FAIL();
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode(), 5u);
  }
}

TEST(Text, AnsiAndUtf8RoundTrips) {
  EXPECT_EQ(Utf8ToWide("gr\xC3\xBC\xC3\x9F"), L"gr\u00FC\u00DF");
  EXPECT_EQ(WideToUtf8(L"\u20AC"), "\xE2\x82\xAC");
  std::string ascii = "plain ascii 123";
  EXPECT_EQ(WideToAnsi(AnsiToWide(ascii)), ascii);
  EXPECT_EQ(AnsiToWide(""), L"");
  EXPECT_EQ(Format(L"%d-%ls", 7, L"x"), L"7-x");
  EXPECT_EQ(ExtractFileName(L"C:\\a b\\velotarnsvc.exe"), L"velotarnsvc.exe");
}
