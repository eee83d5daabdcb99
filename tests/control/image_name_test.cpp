#include <gtest/gtest.h>

#include "control/image_name.h"

namespace velotarn {
namespace {

TEST(ImageName, FileNamePartIsAfterTheLastBackslashOrColon) {
  EXPECT_EQ(ImageFileNamePart(L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"), L"openvpn.exe");
  EXPECT_EQ(ImageFileNamePart(L"C:openvpn.exe"), L"openvpn.exe");
  EXPECT_EQ(ImageFileNamePart(L"openvpn.exe"), L"openvpn.exe");
  EXPECT_EQ(ImageFileNamePart(L"dir\\"), L"");
}

TEST(ImageName, MatchRules) {
  // Same name in any ASCII letter case, with or without a directory.
  EXPECT_TRUE(ImageNameMatches(L"openvpn.exe", L"openvpn.exe"));
  EXPECT_TRUE(ImageNameMatches(L"OPENVPN.EXE", L"openvpn.exe"));
  EXPECT_TRUE(ImageNameMatches(L"OpenVpn.Exe", L"OPENVPN.exe"));
  EXPECT_TRUE(ImageNameMatches(L"C:\\bin\\OpenVPN.exe", L"openvpn.exe"));
  // Or the whole image name.
  EXPECT_TRUE(ImageNameMatches(L"C:\\bin\\openvpn.exe", L"c:\\BIN\\openvpn.EXE"));
  // Exact length: no further extension, no more letters before, no prefix or suffix match.
  EXPECT_FALSE(ImageNameMatches(L"openvpn.exe.exe", L"openvpn.exe"));
  EXPECT_FALSE(ImageNameMatches(L"myopenvpn.exe", L"openvpn.exe"));
  EXPECT_FALSE(ImageNameMatches(L"openvpn.ex", L"openvpn.exe"));
  EXPECT_FALSE(ImageNameMatches(L"", L"openvpn.exe"));
  EXPECT_FALSE(ImageNameMatches(L"C:\\openvpn.exe\\x.exe", L"openvpn.exe"));
  // Only a to z are upper-cased: other letters must match exactly.
  EXPECT_FALSE(ImageNameMatches(L"\u00e4vpn.exe", L"\u00c4VPN.EXE"));
  EXPECT_TRUE(ImageNameMatches(L"\u00e4vpn.exe", L"\u00e4VPN.EXE"));
  EXPECT_FALSE(ImageNameMatches(L"\u0131.exe", L"I.EXE"));  // dotless i is not ASCII
  // An empty wanted name matches an image name whose file-name part is empty only.
  EXPECT_TRUE(ImageNameMatches(L"C:\\dir\\", L""));
}

}  // namespace
}  // namespace velotarn
