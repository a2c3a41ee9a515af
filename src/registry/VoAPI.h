#pragma once
// VoAPI, the registry module's old name: reads and stores registry values as text; each call
// opens and closes its own key.
#include <windows.h>

#include <string>
#include <string_view>

// The four advapi32 operations the module uses. Tests hand in their own to make them fail.
// Values are read as UTF-16 and stored through the ANSI code page.
struct RegistryApi {
    decltype(&RegOpenKeyExA) open = RegOpenKeyExA;
    decltype(&RegQueryValueExW) query = RegQueryValueExW;
    decltype(&RegSetValueExA) set = RegSetValueExA;
    decltype(&RegCloseKey) close = RegCloseKey;
};

inline constexpr LONG kKeyNotOpened = -1;

// The value's text when it is a string value (REG_SZ, or REG_EXPAND_SZ not expanded) that can be
// read; otherwise empty.
std::wstring RegReadValue(HKEY root, std::wstring_view subKey, std::wstring_view valueName,
                          const RegistryApi& api = {});

// 0 on success; ERROR_ACCESS_DENIED when the key may not be opened for writing;
// kKeyNotOpened when it cannot be opened for another reason; otherwise the platform's
// status. ERROR_NO_UNICODE_TRANSLATION when the text holds a character the ANSI code page lacks.
LONG RegWriteValue(HKEY root, std::wstring_view subKey, std::wstring_view valueName,
                   std::wstring_view text, const RegistryApi& api = {});
