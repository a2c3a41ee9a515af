#include "mainwindow/UserAgentText.h"

#include <gtest/gtest.h>

#include <string>

TEST(UserAgentText, OnlyWhatABrowserCanSendPasses)
{
    const struct {
        std::wstring text;
        bool control, blank;
    } cases[] = {
        {L"Mozilla/5.0 (Windows NT 10.0; Win64; x64)", false, false},
        {L" A/1.0\t(TAB inside) ", false, false},
        {L"ソフト/1.0 (表示) caf\u00E9 \U0001F600", false, false}, // letters and emoji of any plane
        {L"", false, true},
        {L" \t\u3000\u00A0\u1680\u2000\u200A\u202F\u205F", false, true},
        {L"\u000B\u000C", true, true}, // white space, and control characters too
        // Cc: C0 but TAB, DEL and C1 (U+0080 is byte 0x80 in code page 932).
        {std::wstring(L"A\0", 2), true, false}, {L"A\n", true, false}, {L"A\r", true, false}, {L"A\u001F", true, false},
        {L"A\u007F", true, false}, {L"A\u0080", true, false}, {L"A\u0085", true, false}, {L"A\u009F", true, false},
        // Zl, Zp and Cf: invisible in the combo box, in the BMP and beyond it.
        {L"A\u2028", true, false}, {L"A\u2029", true, false}, {L"A\u00AD", true, false},
        {L"A\u061C", true, false}, {L"A\u200B", true, false}, {L"A\u200F", true, false},
        {L"A\u202A", true, false}, {L"A\u202E", true, false}, {L"A\u2060", true, false},
        {L"A\u2066", true, false}, {L"A\u206F", true, false}, {L"A\uFEFF", true, false},
        {L"A\uFFF9", true, false}, {L"A\uFFFB", true, false}, {L"A\U000110BD", true, false},
        {L"A\U0001D173", true, false}, {L"A\U000E0001", true, false}, {L"A\U000E007F", true, false},
        // Their neighbours are ordinary characters.
        {L"A\u00A0B\u00AE\u2027\u2030\u2065\uFFFC\U0001D17B\U000E0080", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(HasControlCharacter(c.text), c.control);
        EXPECT_EQ(IsBlank(c.text), c.blank);
    }
}
