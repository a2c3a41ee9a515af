#include "shell/TextEncoding.h"

#include <algorithm>

namespace TextEncoding {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LEBom = "\xFF\xFE";
constexpr std::string_view kUtf16BEBom = "\xFE\xFF";
constexpr std::string_view kUtf32LEBom{"\xFF\xFE\0\0", 4}; // PowerShell 5's Out-File -Encoding UTF32
constexpr std::string_view kUtf32BEBom{"\0\0\xFE\xFF", 4};

int Count(size_t size) { return static_cast<int>(size); } // a list file is far below 2 GB

// Empty when the code page rejects any of the bytes.
std::optional<std::wstring> DecodeStrict(std::string_view bytes, UINT codePage)
{
    if (bytes.empty())
        return std::wstring();
    std::wstring text(bytes.size(), L'\0'); // no byte becomes more than one UTF-16 unit
    const int length = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), Count(bytes.size()),
                                           text.data(), Count(text.size()));
    if (length <= 0)
        return std::nullopt;
    text.resize(static_cast<size_t>(length));
    return text;
}

// One character at a time, so a broken one costs one U+FFFD and nothing around it.
void AppendCharacters(std::wstring& text, std::string_view bytes, UINT codePage)
{
    if (codePage == CP_UTF8) {
        std::wstring part(bytes.size(), L'\0');
        part.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), Count(bytes.size()),
                                                            part.data(), Count(part.size()))));
        text += part;
        return;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (IsDBCSLeadByteEx(codePage, static_cast<BYTE>(bytes[i])) && i + 1 < bytes.size()) {
            if (const auto pair = DecodeStrict(bytes.substr(i, 2), codePage)) {
                text += *pair;
                ++i;
                continue;
            }
        }
        const auto single = DecodeStrict(bytes.substr(i, 1), codePage);
        text += single ? *single : std::wstring(1, kReplacement);
    }
}

// Line by line, so that no broken character can take a CR or LF with it.
std::wstring DecodeBytes(std::string_view bytes, UINT codePage)
{
    if (auto whole = DecodeStrict(bytes, codePage))
        return std::move(*whole);
    std::wstring text;
    text.reserve(bytes.size());
    for (;;) {
        const size_t end = bytes.find_first_of("\r\n");
        const std::string_view line = bytes.substr(0, end);
        if (auto decoded = DecodeStrict(line, codePage))
            text += *decoded;
        else
            AppendCharacters(text, line, codePage);
        if (end == std::string_view::npos)
            return text;
        text += static_cast<wchar_t>(bytes[end]);
        bytes.remove_prefix(end + 1);
    }
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// UTF-16 and UTF-32: units of width bytes in either byte order.
struct Units {
    size_t width;
    bool bigEndian;
};

Units UnitsOf(Encoding encoding)
{
    const bool wide = encoding == Encoding::Utf32LE || encoding == Encoding::Utf32BE;
    return {wide ? 4u : 2u, encoding == Encoding::Utf16BE || encoding == Encoding::Utf32BE};
}

// A unit beyond Unicode, a surrogate without its other half (in UTF-32 every surrogate), and a
// part of a unit at the end each become U+FFFD.
std::wstring DecodeUnits(std::string_view bytes, Units units)
{
    std::wstring text;
    text.reserve(bytes.size() / units.width + 1);
    size_t i = 0;
    for (; i + units.width <= bytes.size(); i += units.width) {
        char32_t c = 0;
        for (size_t b = 0; b < units.width; ++b)
            c |= char32_t{static_cast<BYTE>(bytes[i + b])} << 8 * (units.bigEndian ? units.width - 1 - b : b);
        if (c > 0x10FFFF || (units.width == 4 && IsSurrogate(c)))
            text += kReplacement;
        else if (c > 0xFFFF)
            text.append({static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)), static_cast<wchar_t>(0xDC00 + (c & 0x3FF))});
        else
            text += static_cast<wchar_t>(c);
    }
    if (i < bytes.size())
        text += kReplacement;
    for (size_t k = 0; k < text.size();) {
        const Character character = CharacterAt(text, k);
        if (IsSurrogate(character.code))
            text[k] = kReplacement; // replacing one never pairs or parts its neighbours
        k += character.length;
    }
    return text;
}

// Refuses a surrogate without its other half, which neither encoding holds.
std::optional<std::string> EncodeUnits(std::wstring_view text, Units units)
{
    std::string bytes;
    bytes.reserve(text.size() * units.width);
    const auto put = [&](char32_t unit) {
        for (size_t b = 0; b < units.width; ++b)
            bytes += static_cast<char>(unit >> 8 * (units.bigEndian ? units.width - 1 - b : b));
    };
    for (size_t k = 0; k < text.size();) {
        const Character character = CharacterAt(text, k);
        if (IsSurrogate(character.code))
            return std::nullopt;
        if (units.width == 4) // one unit for a surrogate pair, where UTF-16 has two
            put(character.code);
        else
            for (size_t u = 0; u < character.length; ++u)
                put(text[k + u]);
        k += character.length;
    }
    return bytes;
}

std::optional<std::string> EncodeCodePage(std::wstring_view text, UINT codePage)
{
    if (text.empty())
        return std::string();
    // UTF-8 takes neither the best-fit flag nor a default character.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* const reportDefault = utf8 ? nullptr : &usedDefault;
    const int size = WideCharToMultiByte(codePage, flags, text.data(), Count(text.size()), nullptr, 0, nullptr,
                                         reportDefault);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, flags, text.data(), Count(text.size()), bytes.data(), size, nullptr, reportDefault);
    // A best-fit mapping that slipped through shows up as a text that does not come back.
    if (usedDefault || DecodeStrict(bytes, codePage) != text)
        return std::nullopt;
    return bytes;
}

} // namespace

Encoding Detect(std::string_view bytes)
{
    if (bytes.starts_with(kUtf8Bom))
        return Encoding::Utf8Bom;
    if (bytes.starts_with(kUtf32LEBom)) // before UTF-16's mark, which begins it
        return Encoding::Utf32LE;
    if (bytes.starts_with(kUtf32BEBom))
        return Encoding::Utf32BE;
    if (bytes.starts_with(kUtf16LEBom))
        return Encoding::Utf16LE;
    if (bytes.starts_with(kUtf16BEBom))
        return Encoding::Utf16BE;
    const bool multiByte = std::any_of(bytes.begin(), bytes.end(), [](char c) { return c & 0x80; });
    if (multiByte && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), Count(bytes.size()),
                                         nullptr, 0) > 0)
        return Encoding::Utf8;
    return Encoding::Ansi;
}

std::string_view Bom(Encoding encoding)
{
    switch (encoding) {
    case Encoding::Utf8Bom: return kUtf8Bom;
    case Encoding::Utf16LE: return kUtf16LEBom;
    case Encoding::Utf16BE: return kUtf16BEBom;
    case Encoding::Utf32LE: return kUtf32LEBom;
    case Encoding::Utf32BE: return kUtf32BEBom;
    default: return {};
    }
}

std::wstring Decode(std::string_view body, Encoding encoding, UINT ansiCodePage)
{
    std::wstring text;
    switch (encoding) {
    case Encoding::Ansi: text = DecodeBytes(body, ansiCodePage); break;
    case Encoding::Utf8:
    case Encoding::Utf8Bom: text = DecodeBytes(body, CP_UTF8); break;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
    case Encoding::Utf32LE:
    case Encoding::Utf32BE: text = DecodeUnits(body, UnitsOf(encoding)); break;
    }
    std::replace(text.begin(), text.end(), L'\0', kReplacement); // a NUL would end the text early
    return text;
}

std::optional<std::string> Encode(std::wstring_view text, Encoding encoding, UINT ansiCodePage)
{
    switch (encoding) {
    case Encoding::Ansi: return EncodeCodePage(text, ansiCodePage);
    case Encoding::Utf8:
    case Encoding::Utf8Bom: return EncodeCodePage(text, CP_UTF8);
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
    case Encoding::Utf32LE:
    case Encoding::Utf32BE: return EncodeUnits(text, UnitsOf(encoding));
    }
    return std::nullopt;
}

size_t FirstUnencodable(std::wstring_view text, Encoding encoding, UINT ansiCodePage)
{
    // Line by line, and character by character only inside the first line refused, so
    // that a long list costs one conversion per line.
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find_first_of(L"\r\n", start), text.size());
        if (!Encode(text.substr(start, end - start), encoding, ansiCodePage)) {
            for (size_t k = start; k < end;) {
                const size_t length = CharacterAt(text, k).length; // a pair never spans a line break
                if (!Encode(text.substr(k, length), encoding, ansiCodePage))
                    return k;
                k += length;
            }
        }
        start = end + 1;
    }
    return std::wstring_view::npos;
}

} // namespace TextEncoding
