#pragma once
// The one place where text crosses between UTF-16 and the bytes of files and the registry.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace TextEncoding {

// Utf16 and Utf32 files always start with their byte-order mark; Utf8 files may or may not.
enum class Encoding { Ansi, Utf8, Utf8Bom, Utf16LE, Utf16BE, Utf32LE, Utf32BE };

// What a file's bytes are written in: a byte-order mark decides; without one, valid UTF-8
// that holds at least one multi-byte character is UTF-8; anything else is the ANSI code page.
Encoding Detect(std::string_view bytes);

// The byte-order mark the encoding starts a file with (empty for Ansi and Utf8).
std::string_view Bom(Encoding encoding);

// The bytes after the byte-order mark as text. A byte or sequence that is not valid in the
// encoding, and a NUL, each become U+FFFD; CR and LF always come through as themselves.
std::wstring Decode(std::string_view body, Encoding encoding, UINT ansiCodePage = GetACP());

// The text's bytes without a byte-order mark; empty when the encoding cannot hold every
// character exactly (no default character, no best-fit look-alike, no lone surrogate).
std::optional<std::string> Encode(std::wstring_view text, Encoding encoding, UINT ansiCodePage = GetACP());

// Where the first character that Encode refuses starts; npos when it refuses none.
size_t FirstUnencodable(std::wstring_view text, Encoding encoding, UINT ansiCodePage = GetACP());

inline constexpr wchar_t kReplacement = L'\uFFFD';

// The character that starts at text[at] and how many UTF-16 units it takes: a surrogate pair is
// one character of two, a surrogate without its other half one of its own.
struct Character {
    char32_t code;
    size_t length;
};
inline Character CharacterAt(std::wstring_view text, size_t at)
{
    if (IS_HIGH_SURROGATE(text[at]) && at + 1 < text.size() && IS_LOW_SURROGATE(text[at + 1]))
        return {0x10000 + ((char32_t{text[at]} - 0xD800) << 10) + (char32_t{text[at + 1]} - 0xDC00), 2};
    return {text[at], 1};
}

} // namespace TextEncoding
