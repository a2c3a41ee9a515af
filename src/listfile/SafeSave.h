#pragma once
// Saving a file so that at every moment its name holds the old bytes or the whole new ones,
// whenever the program is cut off: the new bytes are written beside it and put in its place by
// one rename; a file that one rename would not keep as it is (more than one name, encrypted,
// compressed, named streams, another owner) is written in place behind a journal of its old and
// new bytes, which the next start uses to put right a write that did not finish.
//
// Beside the file, only names the save makes are ever used or removed, and only when they are
// plain files with that one name: a link or anything else under such a name is left alone.
#include <windows.h>

#include <aclapi.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The file operations a save can fail in, and what it asks of the file system that Wine cannot
// show. Tests hand in their own.
struct FileApi {
    decltype(&WriteFile) write = WriteFile;
    decltype(&FlushFileBuffers) flush = FlushFileBuffers;
    decltype(&MoveFileExW) move = MoveFileExW;
    // Renames and deletes by handle (FileRenameInfoEx, FileDispositionInfo).
    decltype(&SetFileInformationByHandle) setInfo = SetFileInformationByHandle;
    // FileBasicInfo and FileStreamInfo of the file being saved.
    decltype(&GetFileInformationByHandleEx) getInfo = GetFileInformationByHandleEx;
    decltype(&GetSecurityInfo) getSecurity = GetSecurityInfo;
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

// What a start (or a save) found of a save that was cut off, and did about it.
struct CutOffSave {
    enum class Outcome {
        None,          // nothing was cut off, or nothing can be done about it yet
        Finished,      // the write had finished: the file holds the new bytes
        PutBack,       // the file holds its old bytes again (or never lost them)
        KeptNewer,     // the file was written since by someone else and stays; see oldBytesAt
        NewFilePlaced, // the file's name had gone; the whole new file took it
    }; // in the order in which one outweighs another where there is more than one journal
    Outcome outcome = Outcome::None;
    std::wstring oldBytesAt; // KeptNewer: a new file of the old bytes, as a user types its path
    std::vector<std::pair<std::wstring, std::string>> journals; // each one's path and header
};

// Saved: the name holds the new bytes. Failed: it holds what it held; so do TooLarge (more bytes
// than limit) and ReadOnly. Refused: what was there right before the replace did not pass the
// caller's look (it stays). Stranded: the save failed and the file holds neither; its old bytes are
// in the file keptAt names, and the next start puts them back. Detached: the file's name has gone
// and the whole new file is at keptAt, which the next start puts in its place.
enum class SaveResult { Saved, Failed, TooLarge, ReadOnly, Refused, Stranded, Detached };

struct SaveReport {
    std::wstring keptAt;
    CutOffSave cutOff; // a cut-off save found and put right first; its journals already gone
};

// What the file held right before the replace; nothing where there was no file.
using LastLook = std::function<bool(const std::optional<std::string>& current)>;

// Saves bytes as the file path (links already followed). One save of a file at a time in all
// copies of the program; the look comes right before every rename attempt, and where the system
// allows it the file stays open, shared with no writer, until the rename. A read-only file is
// never replaced.
SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api = {}, SaveReport* report = nullptr);

// Puts right what a cut-off save left: a write in place that did not finish gets the old bytes
// back, unless the file was written since; a name that a replace lost gets the whole new file.
// The journals stay until ForgetCutOffSave, to be called once the user has been told, so that a
// start cut off before telling tells at the next one.
CutOffSave PutRightCutOffSave(const std::wstring& path, size_t limit, const FileApi& api = {});
void ForgetCutOffSave(const std::wstring& path, const CutOffSave& cutOff);
