#include "mainwindow/UserAgentText.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        // A surrogate without its other half pairs with nothing: what follows is checked alone.
        {L"A\xD800\nB", true, false}, {L"A\xDBFF\u2028", true, false}, {L"\xD800 ", false, false},
        {L"\xDC00\xD800", false, false},
        // Their neighbours are ordinary characters.
        {L"A\u00A0B\u00AE\u2027\u2030\u2065\uFFFC\U0001D17B\U000E0080", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(HasControlCharacter(c.text), c.control);
        EXPECT_EQ(IsBlank(c.text), c.blank);
    }
}

namespace {

struct Range {
    char32_t first, last;
};

std::wstring Character(char32_t c)
{
    if (c < 0x10000)
        return std::wstring(1, static_cast<wchar_t>(c));
    c -= 0x10000;
    return {static_cast<wchar_t>(0xD800 + (c >> 10)), static_cast<wchar_t>(0xDC00 + (c & 0x3FF))};
}

// Both ends of every range are in it, and the characters just outside are not, unless another
// range holds them: one end moved by one is caught.
template <class Rule>
void ExpectRanges(std::initializer_list<Range> ranges, Rule rule)
{
    const auto listed = [&](char32_t c) {
        return std::any_of(ranges.begin(), ranges.end(), [c](Range r) { return r.first <= c && c <= r.last; });
    };
    for (const Range r : ranges) {
        for (const char32_t c : {char32_t(r.first - 1), r.first, r.last, char32_t(r.last + 1)}) {
            if (c == static_cast<char32_t>(-1))
                continue;
            EXPECT_EQ(rule(Character(c)), listed(c)) << std::hex << "U+" << static_cast<unsigned>(c);
        }
    }
}

} // namespace

TEST(UserAgentText, EveryRangeOfTheRulesEndsWhereUnicodeSays)
{
    // Unicode 15: Cc but TAB, Zl, Zp, Cf.
    ExpectRanges({{0x0000, 0x0008}, {0x000A, 0x001F}, {0x007F, 0x009F}, {0x00AD, 0x00AD}, {0x0600, 0x0605},
                  {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2},
                  {0x180E, 0x180E}, {0x200B, 0x200F}, {0x2028, 0x2028}, {0x2029, 0x2029}, {0x202A, 0x202E},
                  {0x2060, 0x2064}, {0x2066, 0x206F}, {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD},
                  {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
                  {0xE0001, 0xE0001}, {0xE0020, 0xE007F}},
                 [](const std::wstring& text) { return HasControlCharacter(text); });
    // Unicode 15: White_Space.
    ExpectRanges({{0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0}, {0x1680, 0x1680},
                  {0x2000, 0x200A}, {0x2028, 0x2028}, {0x2029, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F},
                  {0x3000, 0x3000}},
                 [](const std::wstring& text) { return IsBlank(text); });
}
