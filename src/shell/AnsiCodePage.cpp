#include "shell/AnsiCodePage.h"

#include <windows.h>

namespace AnsiCodePage {

std::optional<std::string> FromWide(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    const int length = static_cast<int>(text.size());
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length,
                                         nullptr, 0, nullptr, &usedDefault);
    if (size <= 0 || usedDefault)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes.data(), size,
                        nullptr, &usedDefault);
    // A best-fit mapping that slipped through shows up as a text that does not come back.
    if (usedDefault || ToWide(bytes) != text)
        return std::nullopt;
    return bytes;
}

std::wstring ToWide(std::string_view bytes)
{
    if (bytes.empty())
        return std::wstring();
    // No byte becomes more than one UTF-16 unit, so one pass into a buffer that size will do.
    std::wstring text(bytes.size(), L'\0');
    const int length = static_cast<int>(bytes.size());
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, text.data(), length)));
    return text;
}

} // namespace AnsiCodePage
