#include "shell/AnsiCodePage.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(AnsiCodePage, RunsInCodePage932)
{
    ASSERT_EQ(GetACP(), 932u) << "the tests expect the Japanese ANSI code page";
}

TEST(AnsiCodePage, JapaneseRoundTripsThroughShiftJis)
{
    // "ソ" and "表" have 0x5C ("\") as their second byte.
    const std::wstring text = L"ソ表 ピケロス Mozilla/5.0 (互換; ＭＳＩＥ)";
    const auto bytes = AnsiCodePage::FromWide(text);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(bytes->substr(0, 4), std::string("\x83\x5C\x95\x5C"));
    EXPECT_EQ(AnsiCodePage::ToWide(*bytes), text);
}

TEST(AnsiCodePage, RefusesWhatTheCodePageCannotHold)
{
    EXPECT_FALSE(AnsiCodePage::FromWide(L"smile \U0001F600"));
    EXPECT_FALSE(AnsiCodePage::FromWide(L"Hangul \uD55C"));
    EXPECT_FALSE(AnsiCodePage::FromWide(L"lone surrogate \xD800 here"));
    // Best-fit would turn these into look-alikes ("a", "?").
    EXPECT_FALSE(AnsiCodePage::FromWide(L"\u00E0"));
    EXPECT_FALSE(AnsiCodePage::FromWide(L"\u00AB"));
    // A question mark of the user's own is not a substitute.
    EXPECT_EQ(AnsiCodePage::FromWide(L"why?"), std::string("why?"));
}

TEST(AnsiCodePage, KeepsZeroCharactersAndEmptyText)
{
    EXPECT_EQ(AnsiCodePage::FromWide(L""), std::string());
    EXPECT_EQ(AnsiCodePage::ToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}
