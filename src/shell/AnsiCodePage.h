#pragma once
// The one place where text crosses between UTF-16 and the system's ANSI code page.
#include <optional>
#include <string>
#include <string_view>

namespace AnsiCodePage {

// Empty when the text holds a character the code page cannot represent exactly
// (no default character, no best-fit look-alike).
std::optional<std::string> FromWide(std::wstring_view text);

std::wstring ToWide(std::string_view bytes);

} // namespace AnsiCodePage
