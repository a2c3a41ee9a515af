#pragma once
// Saving a file so that, however the program is cut off, the next read finds the old bytes or the
// whole new ones: the file is written in place through its own handle, so it stays the file it is,
// behind a journal of both, from which a read puts right a write that did not finish. Saves and
// reads take turns in every copy of the program; other programs' reads meet a locked file.
//
// Beside the file, only names the save makes are ever used or removed, and only when they are
// plain files with that one name: a link or anything else under such a name is left alone.
#include "listfile/Files.h"

#include <functional>
#include <vector>

// The system calls a save can fail in, or that Wine does not answer as Windows does: tests' seam.
struct FileApi {
    decltype(&CreateFileW) create = CreateFileW;
    decltype(&WriteFile) write = WriteFile;
    decltype(&FlushFileBuffers) flush = FlushFileBuffers;
    decltype(&SetFileInformationByHandle) setInfo = SetFileInformationByHandle; // deletes by handle
    decltype(&GetFinalPathNameByHandleW) finalPath = GetFinalPathNameByHandleW;
    decltype(&CreateMutexExW) createMutex = CreateMutexExW;
    DWORD turnWait = 5000; // milliseconds another copy's turn is waited for
};

// What a read or a save found of a save that was cut off, and did about it. Finished: the write had
// finished. PutBack: the file holds its old bytes again. KeptNewer: the file was written since by
// someone else and stays; its old bytes are in oldBytesAt. In the order in which one outweighs
// another where there is more than one journal.
struct CutOffSave {
    enum class Outcome { None, Finished, PutBack, KeptNewer };
    Outcome outcome = Outcome::None;
    std::wstring oldBytesAt; // KeptNewer: a new file of the old bytes, as a user types its path
    std::vector<std::pair<std::wstring, std::string>> journals; // each one's path and header
};
// Tells the user what was put right; the journals go once it returns.
using TellCutOff = std::function<void(const CutOffSave&)>;

// What a save did. Unreadable, Unrepresentable: the text holds what the list cannot (see ListFile).
// TooLarge: more bytes than the limit. ReadOnly: the user has said the file is not to change.
// Changed: it did not pass the caller's look. Busy: another copy had the turn too long, or its turn
// could not be joined. These and Failed leave the file as it was. Stranded: the file holds neither;
// its old bytes are in the file keptAt names (if any), and the next read puts them back.
enum class SaveResult { Saved, Unreadable, Unrepresentable, TooLarge, ReadOnly, Changed, Busy, Failed, Stranded };

struct SaveReport {
    std::wstring keptAt;
    CutOffSave cutOff; // a cut-off save put right first, its journals gone: for the caller to tell
};

// What the file held right before the write; nothing where there was no file.
using LastLook = std::function<bool(const std::optional<std::string>& current)>;

// Saves bytes as the file path (links already followed) in its turn. The look and the write come
// through one handle that lets no other program write, unless one already held the file for
// writing. A missing file is made new under its name; a read-only one is never written.
SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api = {}, SaveReport* report = nullptr);

// Runs read in the file's turn, once what a cut-off save left has been put right and, where tell is
// given, told (the journals stay until then, so a read cut off before telling tells at the next).
// Without the turn, read runs only where there is no journal. False: not run, maybe half written.
bool ReadInTurn(const std::wstring& path, size_t limit, const TellCutOff& tell, const std::function<void()>& read,
                const FileApi& api = {});
