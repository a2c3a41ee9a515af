#pragma once
// What a browser can send as its User Agent: the text goes out as an HTTP header, on a
// system of any code page.
#include <string_view>

// A control character but TAB (Unicode's Cc), a line or paragraph separator (Zl, Zp), or an
// invisible format character (Cf): each would break the header or hide in it unseen.
bool HasControlCharacter(std::wstring_view text);

// Empty, or white space only (Unicode's White_Space): a header without a text.
bool IsBlank(std::wstring_view text);
