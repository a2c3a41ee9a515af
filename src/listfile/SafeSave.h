#pragma once
// Saving a file so that, however the program is cut off, the next read finds the old bytes or the
// whole new ones: the file is written in place through its own handle, so it stays the file it is,
// behind a journal of both, from which a read puts right a write that did not finish. Saves and
// reads take turns in every copy of the program; other programs' reads meet a locked file.
//
// The order every save and read keeps, so that a cut at any point loses nothing:
//  1. The journal is whole and flushed before the file is touched.
//  2. The file is flushed before the journal goes.
//  3. The user is told before any journal goes.
//  4. Nothing is made beside the file that no box names: a file of old bytes handed over goes with
//     the process until the user has been told of it.
// Putting right asks for no more than it uses: to read, and to write or delete only where it does.
// Beside the file, only names the save makes are ever used or removed, and only when they are plain
// files (or a sync client's placeholders) with that one name: a link or anything else under such a
// name is left alone.
#include "listfile/Files.h"
#include "listfile/Journal.h"

#include <functional>
#include <vector>

// What a read or a save found of a save that was cut off, and did about it. Finished: the write had
// finished. PutBack: the file holds its old bytes again. KeptNewer: the file was written since by
// someone else and stays; its old bytes are in oldBytesAt. In the order in which one outweighs
// another where there is more than one journal.
struct CutOffSave {
    enum class Outcome { None, Finished, PutBack, KeptNewer };
    Outcome outcome = Outcome::None;
    std::wstring oldBytesAt; // KeptNewer: a new file of the old bytes, as a user types its path
};
// Tells the user what was put right; the journals go once it returns. Without one, nothing that needs
// telling is done or forgotten: it waits for a read or a save that tells.
using TellCutOff = std::function<void(const CutOffSave&)>;

// What a save did. Unreadable, Unrepresentable: the text holds what the list cannot (see ListFile).
// TooLarge: more bytes than the limit. ReadOnly: the user has said the file is not to change.
// Changed: it did not pass the caller's look. Busy: another copy had the turn too long, or its turn
// could not be joined. These and Failed leave the file as it was. Stranded: the file holds neither;
// its old bytes are in the journal, and the next read puts them back.
enum class SaveResult { Saved, Unreadable, Unrepresentable, TooLarge, ReadOnly, Changed, Busy, Failed, Stranded };

// What the file held right before the write; nothing where there was no file.
using LastLook = std::function<bool(const std::optional<std::string>& current)>;

// Saves bytes as the file path (links already followed) in its turn, once a cut-off save has been put
// right and told. The look and the write come through one handle that lets no other program write,
// unless one already held the file for writing. A missing file is made new under its name; a
// read-only one is never written.
SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api = {}, const TellCutOff& tell = {});

// Runs read in the file's turn, once what a cut-off save left has been put right and, where tell is
// given, told. Without the turn, read runs only where there is no journal. False: not run, the file
// maybe half written.
bool ReadInTurn(const std::wstring& path, size_t limit, const TellCutOff& tell, const std::function<void()>& read,
                const FileApi& api = {});
