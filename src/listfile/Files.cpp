#include "listfile/Files.h"

#include <algorithm>

FileHandle OpenFile(const FileApi& api, const std::wstring& path, DWORD access, DWORD disposition, DWORD share,
                    DWORD flags)
{
    HANDLE h = api.create(path.c_str(), access, share, nullptr, disposition, flags ? flags : FILE_ATTRIBUTE_NORMAL, nullptr);
    return FileHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::optional<std::string> ReadWhole(const FileApi& api, HANDLE file, size_t limit)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || static_cast<unsigned long long>(size.QuadPart) > limit ||
        !SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN))
        return std::nullopt;
    // Read to the end, whatever the size said a moment ago: the file may grow meanwhile.
    std::string bytes(static_cast<size_t>(size.QuadPart) + 4096, '\0');
    size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (used > limit)
                return std::nullopt;
            bytes.resize(bytes.size() * 2);
        }
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - used, 1u << 30));
        if (!api.read(file, bytes.data() + used, want, &got, nullptr))
            return std::nullopt;
        if (got == 0) {
            bytes.resize(used);
            return used > limit ? std::nullopt : std::optional(std::move(bytes));
        }
        used += got;
    }
}

std::wstring UserPath(std::wstring_view path)
{
    if (path.starts_with(L"\\\\?\\UNC\\"))
        return L"\\\\" + std::wstring(path.substr(8));
    if (path.starts_with(L"\\\\?\\"))
        path.remove_prefix(4);
    return std::wstring(path);
}
