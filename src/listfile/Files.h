#pragma once
// What the list and its save need of any file: an owned handle, a whole read within a limit, and
// the path a user is shown.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

// CreateFileW, or a test's stand-in for it, with its handle owned.
FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD disposition,
                    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, DWORD flags = 0,
                    decltype(&CreateFileW) create = CreateFileW);

// The file's bytes from its start, nothing when it cannot be read or holds more than limit.
std::optional<std::string> ReadWhole(HANDLE file, size_t limit);

// A path as a user types it, without the \\?\ prefix the system's own functions give.
std::wstring UserPath(std::wstring_view path);
