#include "shell/TextEncoding.h"

#include <gtest/gtest.h>

using namespace TextEncoding;

namespace {

const std::wstring kFFFD(1, kReplacement);

} // namespace

TEST(TextEncoding, AnsiCodePageHoldsExactlyWhatItCan)
{
    // The same rules whether the ANSI code page is Shift_JIS or UTF-8 ("Beta: Use Unicode UTF-8").
    const struct {
        std::wstring text;
        bool in932;
        bool in65001;
    } cases[] = {
        {L"ソ表 ピケロス Mozilla/5.0 (互換; ＭＳＩＥ)", true, true}, // "ソ", "表": second byte 0x5C
        {L"why?", true, true},                                        // the user's own "?"
        {L"", true, true},
        {L"smile \U0001F600", false, true},
        {L"Hangul \uD55C", false, true},
        {L"caf\u00E9", false, true}, // best fit would give "cafe"
        {L"\u00AB\u00E0", false, true},
        {L"lone surrogate \xD800 here", false, false},
    };
    for (const auto& c : cases) {
        for (const UINT codePage : {932u, 65001u}) {
            const bool expected = codePage == 932 ? c.in932 : c.in65001;
            const auto bytes = Encode(c.text, Encoding::Ansi, codePage);
            ASSERT_EQ(bytes.has_value(), expected) << codePage << " " << testing::PrintToString(c.text);
            if (bytes) {
                EXPECT_EQ(Decode(*bytes, Encoding::Ansi, codePage), c.text) << codePage;
            }
        }
    }
    EXPECT_EQ(Encode(L"ソ表", Encoding::Ansi, 932), std::string("\x83\x5C\x95\x5C"));
    EXPECT_EQ(Encode(L"ソ表", Encoding::Ansi, 65001), std::string("\xE3\x82\xBD\xE8\xA1\xA8"));
}

TEST(TextEncoding, WhatTheAnsiCodePageTakesComesBackUnchanged)
{
    // Every character the conversion accepts must read back as itself: under Wine, for
    // one, U+F8F0 to U+F8F3 encode to bytes that do not decode again.
    int accepted = 0;
    for (unsigned code = 1; code <= 0xFFFF; ++code) {
        if (code >= 0xD800 && code <= 0xDFFF)
            continue;
        const std::wstring text(1, static_cast<wchar_t>(code));
        if (const auto bytes = Encode(text, Encoding::Ansi, 932)) {
            ++accepted;
            ASSERT_EQ(Decode(*bytes, Encoding::Ansi, 932), text) << code;
        }
    }
    EXPECT_GT(accepted, 7000) << "JIS X 0208 and more";
}

TEST(TextEncoding, EncodingIsDecidedByTheBytes)
{
    const struct {
        std::string bytes;
        Encoding encoding;
    } cases[] = {
        {"", Encoding::Ansi},
        {"Mozilla/5.0\r\n", Encoding::Ansi},                       // plain ASCII: nothing to tell
        {"\x83\x5C\x95\x5C\r\n", Encoding::Ansi},                  // Shift_JIS
        {"\xE3\x82\xBD\xE8\xA1\xA8\r\n", Encoding::Utf8},          // UTF-8 without a mark
        {"\xEF\xBB\xBF" "A\r\n", Encoding::Utf8Bom},
        {std::string("\xFF\xFE" "A\0", 4), Encoding::Utf16LE},
        {std::string("\xFE\xFF\0A", 4), Encoding::Utf16BE},
        {std::string("\xFF\xFE\0\0" "A\0\0\0", 8), Encoding::Utf32LE},     // PowerShell 5's UTF32
        {std::string("\0\0\xFE\xFF\0\0\0A", 8), Encoding::Utf32BE},
        {"\xE3\x82\xBD\x81\r\n", Encoding::Ansi},                  // UTF-8 up to a broken byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(Detect(c.bytes), c.encoding) << testing::PrintToString(c.bytes);
}

TEST(TextEncoding, BrokenBytesAndNulBecomeReplacementsAndNeverTakeALineBreak)
{
    const struct {
        std::string body;
        Encoding encoding;
        std::wstring text;
    } cases[] = {
        {std::string("A\0B\r\n", 5), Encoding::Ansi, L"A" + kFFFD + L"B\r\n"},
        {"A\x81\r\nB", Encoding::Ansi, L"A" + kFFFD + L"\r\nB"}, // lead byte before CR LF
        {"A\x81\nB", Encoding::Ansi, L"A" + kFFFD + L"\nB"},
        {"A\x81", Encoding::Ansi, L"A" + kFFFD},                  // lead byte at the end
        {"\x81 \x83\x5C", Encoding::Ansi, kFFFD + L" ソ"},        // lead byte before a space
        {"\x87\x90\xED\x40", Encoding::Ansi, L"\u2252\u7E8A"},    // NEC and IBM duplicates
        {"\xE3\x82\r\n\xE8\xA1\xA8", Encoding::Utf8, kFFFD + L"\r\n表"},
        {"A\xFF", Encoding::Utf8Bom, L"A" + kFFFD},
        {std::string("A\0\r\0\n\0\x3D\xD8", 8), Encoding::Utf16LE, L"A\r\n" + kFFFD}, // lone surrogate
        {std::string("\0A\0", 3), Encoding::Utf16BE, L"A" + kFFFD},                    // half a unit
        {std::string("A\0\0\0\0\xD8\0\0\0\0\x11\0\r\0\0\0B\0", 18), Encoding::Utf32LE,
         L"A" + kFFFD + kFFFD + L"\r" + kFFFD}, // a surrogate, beyond Unicode, a part at the end
        {std::string("\x3D\xD8\0\0\0\xDE\0\0", 8), Encoding::Utf32LE, kFFFD + kFFFD}, // UTF-16's pair is no character
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decode(c.body, c.encoding, 932), c.text) << testing::PrintToString(c.body);
    // A single byte keeps whatever mapping the code page gives it (0x80, and on Windows also
    // 0xA0 and 0xFD to 0xFF); one it refuses becomes U+FFFD.
    for (int byte = 0x80; byte <= 0xFF; ++byte) {
        const char single = static_cast<char>(byte);
        if (IsDBCSLeadByteEx(932, static_cast<BYTE>(byte)))
            continue;
        wchar_t mapped = 0;
        if (MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, &single, 1, &mapped, 1) != 1)
            mapped = kReplacement;
        const std::wstring expected{L'<', mapped, L'\r', L'\n'};
        EXPECT_EQ(Decode(std::string{'<', single, '\r', '\n'}, Encoding::Ansi, 932), expected) << byte;
    }
    EXPECT_EQ(Decode("\x80", Encoding::Ansi, 932), L"\u0080");
    // The same rules when the ANSI code page is UTF-8.
    EXPECT_EQ(Decode("\xE3\x82\r\nA", Encoding::Ansi, 65001), kFFFD + L"\r\nA");
}

TEST(TextEncoding, UnicodeFilesTakeEveryCharacterButBrokenOnes)
{
    const std::wstring text = L"caf\u00E9 \U0001F600 表\r\n";
    for (const Encoding encoding : {Encoding::Utf8, Encoding::Utf8Bom, Encoding::Utf16LE, Encoding::Utf16BE,
                                    Encoding::Utf32LE, Encoding::Utf32BE}) {
        const auto bytes = Encode(text, encoding);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(Decode(*bytes, encoding), text);
        EXPECT_FALSE(Encode(L"half \xDC00 pair", encoding));
    }
    EXPECT_EQ(*Encode(L"A\r", Encoding::Utf16BE), std::string("\0A\0\r", 4));
    EXPECT_EQ(*Encode(L"\U0001F600", Encoding::Utf32BE), std::string("\0\x01\xF6\0", 4));
    EXPECT_EQ(*Encode(L"\U0001F600", Encoding::Utf32LE), std::string("\0\xF6\x01\0", 4));
}
