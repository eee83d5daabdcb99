// The pure rules of the service host: cutting the command line, matching switches, and the
// check-point of status reports.
#include <gtest/gtest.h>

#include <windows.h>

#include "service/command_line.h"
#include "service/status_check_point.h"

using namespace velotarn;

namespace {
using Args = std::vector<std::wstring>;

bool LocaleEquals(std::wstring_view a, std::wstring_view b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

bool Has(const wchar_t* line, const wchar_t* name) {
  return FindSwitch(SplitCommandLine(line), name, &LocaleEquals);
}
}  // namespace

TEST(CommandLine, CutsAtControlCharactersAndBlanks) {
  EXPECT_EQ(SplitCommandLine(L"prog a\tb\x01" L"c\r\nd   e"),
            (Args{L"prog", L"a", L"b", L"c", L"d", L"e"}));
  EXPECT_EQ(SplitCommandLine(L"  "), Args{});
  EXPECT_EQ(SplitCommandLine(L""), Args{});
  // Characters above 32 never cut, whatever they are.
  EXPECT_EQ(SplitCommandLine(L"p \u00e9\u00a0x"), (Args{L"p", L"\u00e9\u00a0x"}));
  // A NUL ends the line.
  EXPECT_EQ(SplitCommandLine(std::wstring(L"p a\0b", 5)), (Args{L"p", L"a"}));
}

TEST(CommandLine, QuotesKeepBlanksAndAreRemovedWithoutEscapes) {
  EXPECT_EQ(SplitCommandLine(L"\"C:\\Program Files\\v.exe\" /install"),
            (Args{L"C:\\Program Files\\v.exe", L"/install"}));
  EXPECT_EQ(SplitCommandLine(L"p a\"b c\"d"), (Args{L"p", L"ab cd"}));
  // No escape character: a backslash before a quote is an ordinary character.
  EXPECT_EQ(SplitCommandLine(L"p \"a\\\" b"), (Args{L"p", L"a\\", L"b"}));
  // An unclosed quote runs to the end of the line.
  EXPECT_EQ(SplitCommandLine(L"p \"a b"), (Args{L"p", L"a b"}));
  // Quotes inside an argument that hold nothing leave nothing.
  EXPECT_EQ(SplitCommandLine(L"p /in\"\"stall"), (Args{L"p", L"/install"}));
}

TEST(CommandLine, EmptyQuotePairsAtTheStartOfAnArgumentMakeNoArgument) {
  EXPECT_EQ(SplitCommandLine(L"p \"\" /install"), (Args{L"p", L"/install"}));
  EXPECT_EQ(SplitCommandLine(L"p \"\"\"\" x"), (Args{L"p", L"x"}));
  EXPECT_EQ(SplitCommandLine(L"p \"\"/silent"), (Args{L"p", L"/silent"}));
  EXPECT_EQ(SplitCommandLine(L"p \"\""), (Args{L"p"}));
  EXPECT_EQ(SplitCommandLine(L"p \""), (Args{L"p"}));
  // A quoted blank is an argument.
  EXPECT_EQ(SplitCommandLine(L"p \" \""), (Args{L"p", L" "}));
}

TEST(Switches, DashOrSlashThenTheNameInAnyCase) {
  EXPECT_TRUE(Has(L"p /install", L"INSTALL"));
  EXPECT_TRUE(Has(L"p -INSTALL", L"INSTALL"));
  EXPECT_TRUE(Has(L"p /Install", L"INSTALL"));
  EXPECT_TRUE(Has(L"p x y -SiLeNt", L"SILENT"));
  EXPECT_TRUE(Has(L"p \"/install\"", L"INSTALL"));
  EXPECT_FALSE(Has(L"p --install", L"INSTALL"));
  EXPECT_FALSE(Has(L"p install", L"INSTALL"));
  EXPECT_FALSE(Has(L"p /install=1", L"INSTALL"));
  EXPECT_FALSE(Has(L"p \\install", L"INSTALL"));
  EXPECT_FALSE(Has(L"p /", L"INSTALL"));
  EXPECT_FALSE(Has(L"p /uninstall", L"INSTALL"));
  EXPECT_TRUE(Has(L"p /uninstall /install", L"INSTALL"));
}

TEST(Switches, TheProgramItselfIsNotLookedAt) {
  EXPECT_FALSE(Has(L"/install", L"INSTALL"));
  EXPECT_FALSE(Has(L"\"-install\" x", L"INSTALL"));
  EXPECT_TRUE(Has(L"/install /install", L"INSTALL"));
}

TEST(CheckPoint, NormalRunOfReports) {
  TCheckPointRule rule;
  EXPECT_EQ(rule.Next(csStartPending), 1u);
  EXPECT_EQ(rule.Next(csStartPending), 2u);
  EXPECT_EQ(rule.Next(csRunning), 0u);
  EXPECT_EQ(rule.Next(csPausePending), 0u);
  EXPECT_EQ(rule.Next(csPaused), 0u);
  EXPECT_EQ(rule.Next(csContinuePending), 0u);
  EXPECT_EQ(rule.Next(csRunning), 0u);
  EXPECT_EQ(rule.Next(csRunning), 0u);  // an interrogation repeats a steady state with 0
  EXPECT_EQ(rule.Next(csStopPending), 0u);
  EXPECT_EQ(rule.Next(csStopPending), 1u);
  EXPECT_EQ(rule.Next(csStopPending), 2u);
  EXPECT_EQ(rule.Next(csStopped), 0u);
  // A second start in the same process begins from the stopped report.
  EXPECT_EQ(rule.Next(csStartPending), 0u);
  EXPECT_EQ(rule.Next(csStartPending), 1u);
}
