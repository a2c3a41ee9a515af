#include "shell/AppGlobals.h"

#include <windows.h>

std::wstring AppPath;

std::wstring DirectoryOfModule(const std::wstring& modulePath)
{
    const size_t slash = modulePath.find_last_of(L"\\/");
    if (slash == std::wstring::npos)
        return L".\\";
    return modulePath.substr(0, slash + 1);
}

static std::wstring ModuleFileName()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // truncated: long paths have no fixed limit
    }
}

void InitAppPath()
{
    AppPath = DirectoryOfModule(ModuleFileName());
}
