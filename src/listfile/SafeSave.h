#pragma once
// Saving a file so that at every moment its name holds the old bytes or the whole new ones,
// whenever the program is cut off: the new bytes are written beside it and put in its place by
// one rename; a file with more than one name is written in place behind a journal of its old
// bytes, which PlayBackCutOffSave puts back where the write did not finish.
#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The file operations a save can fail in. Tests hand in their own to make them fail.
struct FileApi {
    decltype(&WriteFile) write = WriteFile;
    decltype(&FlushFileBuffers) flush = FlushFileBuffers;
    decltype(&MoveFileExW) move = MoveFileExW;
    decltype(&DeleteFileW) remove = DeleteFileW;
};

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD disposition,
                    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, DWORD flags = 0);

// The file's bytes from its start, nothing when it cannot be read or holds more than limit.
std::optional<std::string> ReadWhole(HANDLE file, size_t limit);

// The file a name stands for: where it is a symbolic link, the file it points to, so that a
// save keeps the link. Nothing when a link cannot be followed.
std::optional<std::wstring> FileBehindLinks(const std::wstring& path);

// A path as a user types it, without the \\?\ prefix the system's own functions give.
std::wstring UserPath(std::wstring_view path);

// Saved: the name holds the new bytes. Failed: it holds what it held. Refused: what was there
// right before the replace did not pass the caller's look (it stays). Stranded: the save failed
// and the file holds neither; its old bytes are in the file *strandedAt names.
enum class SaveResult { Saved, Failed, Refused, Stranded };

// What the file held right before the replace; nothing where there was no file.
using LastLook = std::function<bool(const std::optional<std::string>& current)>;

// Saves bytes as the file path (links already followed). One save of a file at a time in all
// copies of the program; the look comes right before the replace, and nothing another program
// writes in between is lost without it being seen. A read-only file is never replaced.
SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api = {}, std::wstring* strandedAt = nullptr);

// Where a write in place was cut off (a crash, a kill, a power cut) the file gets its old bytes
// back and true is returned; a write that had finished, or never begun, keeps what it wrote.
bool PlayBackCutOffSave(const std::wstring& path, size_t limit, const FileApi& api = {});
