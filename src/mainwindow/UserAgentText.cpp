#include "mainwindow/UserAgentText.h"

#include "shell/TextEncoding.h"

#include <algorithm>
#include <iterator>

namespace {

struct Range {
    char32_t first, last;
};

// Unicode 15: Cc (but TAB), Zl, Zp and Cf.
constexpr Range kControls[] = {
    {0x0000, 0x0008}, {0x000A, 0x001F}, {0x007F, 0x009F}, {0x00AD, 0x00AD}, {0x0600, 0x0605},
    {0x061C, 0x061C}, {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x0890, 0x0891}, {0x08E2, 0x08E2},
    {0x180E, 0x180E}, {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x2064}, {0x2066, 0x206F},
    {0xFEFF, 0xFEFF}, {0xFFF9, 0xFFFB}, {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

// Unicode 15: White_Space.
constexpr Range kWhiteSpace[] = {
    {0x0009, 0x000D}, {0x0020, 0x0020}, {0x0085, 0x0085}, {0x00A0, 0x00A0}, {0x1680, 0x1680},
    {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F}, {0x3000, 0x3000},
};

template <size_t N>
bool In(const Range (&ranges)[N], char32_t c)
{
    return std::any_of(std::begin(ranges), std::end(ranges), [c](Range r) { return r.first <= c && c <= r.last; });
}

// Calls take(c) for each character, a surrogate pair as one, until it returns true.
template <class Take>
bool AnyCharacter(std::wstring_view text, Take take)
{
    for (size_t i = 0; i < text.size();) {
        const TextEncoding::Character character = TextEncoding::CharacterAt(text, i);
        if (take(character.code))
            return true;
        i += character.length;
    }
    return false;
}

} // namespace

bool HasControlCharacter(std::wstring_view text)
{
    return AnyCharacter(text, [](char32_t c) { return In(kControls, c); });
}

bool IsBlank(std::wstring_view text)
{
    return !AnyCharacter(text, [](char32_t c) { return !In(kWhiteSpace, c); });
}
