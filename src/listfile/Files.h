#pragma once
// What the list and its save need of any file: the system calls they make through a seam, owned
// handles, waiting out a file held for a moment, a whole read within a limit, and the path a user is
// shown.
#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Every call that opens, reads, changes or looks into a file beside the list, and those in which
// Wine does not answer as Windows does: the tests' seam, never a user's. Ends of files and deletes go
// through setInfo.
struct FileApi {
    decltype(&CreateFileW) create = CreateFileW;
    decltype(&ReadFile) read = ReadFile;
    decltype(&WriteFile) write = WriteFile;
    decltype(&FlushFileBuffers) flush = FlushFileBuffers;
    decltype(&SetFileInformationByHandle) setInfo = SetFileInformationByHandle;
    decltype(&GetFileInformationByHandleEx) getInfo = GetFileInformationByHandleEx;
    decltype(&GetFinalPathNameByHandleW) finalPath = GetFinalPathNameByHandleW;
    decltype(&CreateMutexExW) createMutex = CreateMutexExW;
    DWORD piece = 1u << 20; // bytes one write takes at most
    DWORD turnWait = 5000;  // milliseconds another copy's turn is waited for
};

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

// Waits out a virus scanner or an indexer that holds a file, or a range of it, for a moment (a file on
// its way out denies access for a moment too): 100 ms a try, 10 tries.
template <class Operation>
bool Patiently(Operation operation)
{
    for (int attempt = 1;; ++attempt) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION) ||
            attempt == 10)
            return false;
        Sleep(100);
    }
}

inline bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

FileHandle OpenFile(const FileApi& api, const std::wstring& path, DWORD access, DWORD disposition,
                    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, DWORD flags = 0);

// The file's bytes from its start, nothing when it cannot be read or holds more than limit.
std::optional<std::string> ReadWhole(const FileApi& api, HANDLE file, size_t limit);

// A path as a user types it, without the \\?\ prefix the system's own functions give.
std::wstring UserPath(std::wstring_view path);
