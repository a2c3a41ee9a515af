#include "listfile/SafeSave.h"

#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

// Hexadecimal by hand: printf would bring its whole number formatting into the program.
std::wstring Hex(unsigned long long value)
{
    wchar_t digits[16];
    wchar_t* first = std::end(digits);
    do
        *--first = L"0123456789abcdef"[value & 15];
    while (value >>= 4);
    return std::wstring(first, std::end(digits));
}

// A number as Hex writes it: in a name the save made, not one like it.
bool IsHexNumber(std::wstring_view digits)
{
    unsigned long long value = 0;
    for (const wchar_t c : digits)
        value = value << 4 | static_cast<unsigned>(c <= L'9' ? c - L'0' : c - L'a' + 10);
    return digits.size() <= 16 && Hex(value) == digits;
}

constexpr wchar_t kBeforeSave[] = L".before-save-"; // "<n>": a journal while the file is written
constexpr wchar_t kOld[] = L".old-";                // "<n>.txt": old bytes handed to the user

template <class Info>
bool InfoOf(const FileApi& api, HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, Info& info)
{
    return api.getInfo(file, kind, &info, sizeof info);
}

// Which file it is: the 128-bit ID where the volume gives one, as ReFS's 64-bit index is not unique; its
// low half where that is all (NTFS), as an earlier release wrote it in its journals.
std::optional<FileId> IdOf(const FileApi& api, HANDLE file)
{
    if (FILE_ID_INFO info{}; InfoOf(api, file, FileIdInfo, info)) {
        unsigned long long half[2];
        std::memcpy(half, info.FileId.Identifier, sizeof half);
        const std::string_view whole(reinterpret_cast<const char*>(half), sizeof half);
        return FileId{info.VolumeSerialNumber & 0xffffffffu, half[1] ? Checksum(whole) : half[0]};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return std::nullopt;
    return FileId{info.dwVolumeSerialNumber, static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// What a file is and where, by what every volume gives (GetFinalPathNameByHandleW not). Only a name
// surrogate leads elsewhere (a link, a junction, a mount point); a sync client's placeholder does not.
struct Place {
    bool plain = false; // a file, with one name, that leads nowhere else
    DWORD volume = 0;
    std::wstring path; // on its volume
};
std::optional<Place> PlaceOf(const FileApi& api, HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return std::nullopt;
    // FAT and exFAT have no reparse points, and refuse to be asked for tags.
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!InfoOf(api, file, FileAttributeTagInfo, tag)) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return std::nullopt;
        tag = {info.dwFileAttributes, 0};
    }
    std::vector<std::byte> buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    while (!api.getInfo(file, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        if (GetLastError() != ERROR_MORE_DATA || buffer.size() > (1u << 20))
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
    const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    const bool elsewhere = tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT && IsReparseTagNameSurrogate(tag.ReparseTag);
    return Place{!elsewhere && !(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks == 1,
                 info.dwVolumeSerialNumber, std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t))};
}

// Marks a file to go when its last handle closes, a kill's included, or undoes that.
bool DeleteByHandle(HANDLE file, const FileApi& api, bool deleted = true)
{
    FILE_DISPOSITION_INFO disposition{deleted};
    return api.setInfo(file, FileDispositionInfo, &disposition, sizeof disposition);
}

constexpr DWORD kNotOurs = ERROR_INVALID_NAME; // a name the save uses, for something not the save's own

struct FindCloser {
    void operator()(HANDLE search) const { FindClose(search); }
};

// The file and the names beside it, and where they really are: a name beside the file is the
// save's own only where it leads to exactly that place.
class Beside {
public:
    Beside(const std::wstring& path, const FileApi& api)
        : path_(path), leaf_(path.substr(path.find_last_of(L'\\') + 1)), api_(api)
    {
        // Where the folder really is, for the names beside the file.
        const FileHandle folder = OpenFile(api_, path_.substr(0, path_.size() - leaf_.size()), FILE_READ_ATTRIBUTES,
                                           OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           FILE_FLAG_BACKUP_SEMANTICS);
        if (folder && (folder_ = PlaceOf(api_, folder.get())) && !folder_->path.ends_with(L'\\'))
            folder_->path += L'\\';
    }
    const std::wstring& path() const { return path_; }
    const FileApi& api() const { return api_; }
    std::wstring Name(std::wstring_view suffix) const { return path_ + std::wstring(suffix); }

    // A new file under a free name, shared with nobody. Never through a link that has the name:
    // Windows would follow it, dangling or not, and create its target.
    FileHandle Create(const std::wstring& path, DWORD access) const
    {
        return OpenFile(api_, path, access, CREATE_NEW, 0, FILE_FLAG_OPEN_REPARSE_POINT);
    }

    // A file of the save's own, opened shared with nobody: a plain file with this one name, where the
    // name says it is. Nothing where it is held (ERROR_SHARING_VIOLATION), missing, anything else
    // (kNotOurs: a link, a folder, a file with more names), or where that cannot be told.
    FileHandle OpenOwn(const std::wstring& path, DWORD access) const
    {
        FileHandle file = OpenFile(api_, path, access, OPEN_EXISTING, 0, FILE_FLAG_OPEN_REPARSE_POINT);
        if (!file)
            return nullptr;
        const auto place = PlaceOf(api_, file.get());
        if (place && place->plain && folder_ && place->volume == folder_->volume &&
            CompareStringOrdinal(place->path.c_str(), -1,
                                 (folder_->path + path.substr(path.find_last_of(L'\\') + 1)).c_str(), -1,
                                 TRUE) == CSTR_EQUAL)
            return file;
        SetLastError(place && folder_ ? kNotOurs : ERROR_CANT_RESOLVE_FILENAME);
        return nullptr;
    }

    // The save's own journals beside the file, by their names.
    std::vector<std::wstring> Journals() const
    {
        std::vector<std::wstring> journals;
        WIN32_FIND_DATAW data;
        HANDLE first = FindFirstFileW((path_ + kBeforeSave + L"*").c_str(), &data);
        if (first == INVALID_HANDLE_VALUE)
            return journals;
        const std::unique_ptr<void, FindCloser> search(first);
        const std::wstring prefix = leaf_ + kBeforeSave; // not a match of the short name alone
        do {
            const std::wstring_view name = data.cFileName;
            if (name.size() > prefix.size() && IsHexNumber(name.substr(prefix.size())) &&
                CompareStringOrdinal(name.data(), static_cast<int>(prefix.size()), prefix.c_str(), -1, TRUE) ==
                    CSTR_EQUAL)
                journals.push_back(path_.substr(0, path_.size() - leaf_.size()) + data.cFileName);
        } while (FindNextFileW(search.get(), &data));
        return journals;
    }

private:
    std::wstring path_, leaf_;
    const FileApi& api_;
    std::optional<Place> folder_;
};

bool WriteAll(HANDLE file, std::string_view bytes, const FileApi& api)
{
    while (!bytes.empty()) {
        DWORD done = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), api.piece));
        if (!api.write(file, bytes.data(), want, &done, nullptr) || done == 0)
            return false;
        bytes.remove_prefix(done);
    }
    return true;
}

bool Overwrite(HANDLE file, std::string_view bytes, const FileApi& api)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(bytes.size());
    return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && WriteAll(file, bytes, api) &&
           api.setInfo(file, FileEndOfFileInfo, &end, sizeof end) && api.flush(file);
}

// While the file is written, another program's read meets a locked range, which Windows refuses
// (ERROR_LOCK_VIOLATION) for the reader to try again, never half a list; so does its write. A
// reader that locks the range itself holds it for a moment only. (A mapped view is not held back.)
struct RangeUnlocker {
    void operator()(HANDLE file) const
    {
        OVERLAPPED at{};
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &at);
    }
};
using RangeLock = std::unique_ptr<void, RangeUnlocker>;
RangeLock LockRange(HANDLE file)
{
    OVERLAPPED at{};
    for (const ULONGLONG until = GetTickCount64() + 2000;; Sleep(1))
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &at))
            return RangeLock(file);
        else if (GetLastError() != ERROR_LOCK_VIOLATION || GetTickCount64() > until)
            return nullptr;
}

// The name stands in the folder: one whose file is on its way out is refused (ERROR_ACCESS_DENIED)
// while a scanner or a sync client still holds it.
bool Listed(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    HANDLE found = FindFirstFileW(path.c_str(), &data);
    if (found != INVALID_HANDLE_VALUE)
        FindClose(found);
    return found != INVALID_HANDLE_VALUE;
}

// A new file beside the file, under the first free name stem + n + suffix from n = first, shared with
// nobody and written whole and flushed. However many such names are taken, one is free. One of the
// save's own that a cut left short of these bytes is taken again. Where it is to go with the process
// until kept (rule 4), it is marked so once written.
struct NewFile {
    FileHandle file;
    std::wstring path;
};
std::optional<NewFile> MakeNew(const Beside& beside, const std::wstring& stem, const wchar_t* suffix, unsigned first,
                               std::string_view bytes, bool untilKept)
{
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE | DELETE;
    NewFile made;
    for (unsigned n = first; !made.file; ++n) {
        made.path = stem + Hex(n) + suffix;
        if ((made.file = beside.Create(made.path, kAccess)))
            break;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && !(error == ERROR_ACCESS_DENIED && Listed(made.path)))
            return std::nullopt;
        if ((made.file = beside.OpenOwn(made.path, kAccess))) {
            const auto now = ReadWhole(beside.api(), made.file.get(), bytes.size());
            if (!now || !IsCutOffWrite(*now, {}, bytes))
                made.file.reset();
        }
    }
    if (!Overwrite(made.file.get(), bytes, beside.api()) || (untilKept && !DeleteByHandle(made.file.get(), beside.api()))) {
        DeleteByHandle(made.file.get(), beside.api());
        return std::nullopt;
    }
    return made;
}

// The old bytes in a new file of the user's, beside the file, until told; its path as the user types it.
std::optional<NewFile> HandOver(const Beside& beside, std::string_view old)
{
    auto made = MakeNew(beside, beside.Name(kOld), L".txt", 1, old, true);
    if (made)
        made->path = UserPath(made->path);
    return made;
}

struct MutexReleaser {
    void operator()(HANDLE mutex) const
    {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
};
struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

// Held while a save or a read looks at the file, so that copies take turns and each sees what the one
// before saved: a mutex named after the file, which copies in every session and at every rights level
// can join. Copies on other machines never write over each other either: a save's handle lets nobody
// else write, and holds the file while its journal is there.
class Turn {
public:
    explicit Turn(const Beside& beside)
    {
        std::wstring path = beside.path();
        CharUpperBuffW(path.data(), static_cast<DWORD>(path.size()));
        const std::string_view bytes(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(wchar_t));
        PSECURITY_DESCRIPTOR everyone = nullptr; // may wait for it and release it, whoever made it
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x100001;;;WD)", SDDL_REVISION_1,
                                                             &everyone, nullptr);
        const std::unique_ptr<void, LocalFreer> owned(everyone);
        SECURITY_ATTRIBUTES security{sizeof security, everyone, FALSE};
        FileHandle mutex(beside.api().createMutex(&security, (L"Global\\Pikerosu-save-" + Hex(Checksum(bytes))).c_str(),
                                                  0, SYNCHRONIZE | MUTEX_MODIFY_STATE));
        const DWORD waited = mutex ? WaitForSingleObject(mutex.get(), beside.api().turnWait) : WAIT_FAILED;
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            held_.reset(mutex.release());
    }
    // Not taken: another copy held it too long, or it could not be joined.
    bool taken() const { return held_ != nullptr; }

private:
    std::unique_ptr<void, MutexReleaser> held_;
};

// What putting right found and holds until the user has been told: then the old bytes handed over
// stay, and only then do the journals go (rules 3 and 4).
struct PutRightPass {
    CutOffSave cutOff;
    std::vector<FileHandle> journals, handedOver;
    bool halfWritten = false; // a journal not put right: the file may be half written
    bool left = false;        // a journal of the save's own left for later, the file whole

    // False where a journal stays after all, to be told again at the next read; where a copy handed
    // over could not be kept, which then goes, they all stay.
    bool Forget(const FileApi& api)
    {
        bool gone = true;
        for (const FileHandle& copy : handedOver)
            gone = DeleteByHandle(copy.get(), api, false) && gone;
        for (const FileHandle& journal : journals)
            gone = gone && DeleteByHandle(journal.get(), api);
        cutOff = {};
        journals.clear();
        handedOver.clear();
        left |= !gone;
        return gone;
    }
};

// The journal again, to remove it, where it is still the one read.
FileHandle ToRemove(const Beside& beside, const std::wstring& path, const std::string& read)
{
    FileHandle journal;
    Patiently([&] { return (journal = beside.OpenOwn(path, GENERIC_READ | DELETE)) != nullptr; });
    if (journal && ReadWhole(beside.api(), journal.get(), read.size()) != read)
        journal.reset();
    return journal;
}

// The old bytes written back over a write cut off, where the file still holds what was read.
bool WriteBack(const Beside& beside, std::string_view read, std::string_view old)
{
    FileHandle file;
    Patiently([&] {
        return (file = OpenFile(beside.api(), beside.path(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ)) !=
               nullptr;
    });
    const RangeLock locked = file ? LockRange(file.get()) : nullptr;
    return locked && ReadWhole(beside.api(), file.get(), read.size()) == read && Overwrite(file.get(), old, beside.api());
}

// Plays one journal back, where it is the save's own. It reads first, and asks to write or to delete
// only what it then does.
void PutRightJournal(const Beside& beside, const std::wstring& path, size_t limit, bool telling, PutRightPass& pass)
{
    using Outcome = CutOffSave::Outcome;
    FileHandle journal; // a scanner may hold it, just written, for a moment
    std::optional<std::string> bytes;
    Patiently([&] { return (journal = beside.OpenOwn(path, GENERIC_READ)) != nullptr; });
    if (!journal) { // held by a save elsewhere, or whose place cannot be told: for later
        pass.halfWritten |= GetLastError() != kNotOurs && !IsMissing(GetLastError());
        return;
    }
    Patiently([&] { return (bytes = ReadWhole(beside.api(), journal.get(), 2 * limit + 4096)).has_value(); });
    journal.reset();
    if (!bytes)
        return void(pass.halfWritten = true);
    Journal parsed;
    const JournalIs is = ParseJournal(*bytes, parsed);
    if (is == JournalIs::NotOurs)
        return;
    if (is == JournalIs::CutOff) { // the file was never touched
        if (const FileHandle cut = ToRemove(beside, path, *bytes))
            DeleteByHandle(cut.get(), beside.api());
        return;
    }
    Outcome outcome = Outcome::KeptNewer;
    bool cached = false; // a write killed before its flush is in the system's cache, not yet on the disk
    FileHandle file;
    Patiently([&] {
        file = OpenFile(beside.api(), beside.path(), GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ);
        return file || IsMissing(GetLastError());
    });
    if (file) {
        const auto id = IdOf(beside.api(), file.get());
        std::optional<std::string> now;
        Patiently([&] { return (now = ReadWhole(beside.api(), file.get(), limit)).has_value(); });
        file.reset();
        if (!id || !now)
            return void(pass.halfWritten = true);
        // Some network volumes give every file the ID 0, which tells no two files apart.
        if (id->index && parsed.id.index && *id != parsed.id)
            outcome = Outcome::KeptNewer; // replaced by another file since
        else if (*now == parsed.bytes || *now == parsed.old) {
            outcome = *now == parsed.bytes ? Outcome::Finished : Outcome::PutBack;
            cached = true;
        }
        else if (IsCutOffWrite(*now, parsed.old, parsed.bytes)) {
            if (!WriteBack(beside, *now, parsed.old))
                return void(pass.halfWritten = true);
            outcome = Outcome::PutBack; // flushed
        }
    } else if (!IsMissing(GetLastError())) {
        return void(pass.halfWritten = true);
    }
    // The file is whole now. The rest is for a copy that tells, and that may remove the journal.
    FileHandle held = telling ? ToRemove(beside, path, *bytes) : nullptr;
    // Flushed before its journal goes (rule 2); one the user has made read-only since reached the disk
    // long ago.
    if (held && cached) {
        FileHandle list;
        Patiently([&] {
            list = OpenFile(beside.api(), beside.path(), GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ);
            return list || GetLastError() == ERROR_ACCESS_DENIED;
        });
        if (list && !beside.api().flush(list.get()))
            held.reset();
    }
    auto copy = held && outcome == Outcome::KeptNewer ? HandOver(beside, parsed.old) : std::nullopt;
    if (!held || (outcome == Outcome::KeptNewer && !copy))
        return void(pass.left = true);
    if (copy) {
        pass.cutOff.oldBytesAt = copy->path;
        pass.handedOver.push_back(std::move(copy->file));
    }
    pass.cutOff.outcome = std::max(pass.cutOff.outcome, outcome);
    pass.journals.push_back(std::move(held));
}

// Runs action in the file's turn, once whatever a cut-off save left is put right and told; nothing
// where it ran. It does not run where a journal may mean a half-written file (Failed) or where the turn
// was not taken and a journal is there (Busy); a save, which would write a second journal, needs the
// turn and no journal of the save's own left.
std::optional<SaveResult> InTurn(const Beside& beside, size_t limit, const TellCutOff& tell, bool saving,
                                 const std::function<void()>& action)
{
    std::optional<Turn> turn(std::in_place, beside);
    PutRightPass pass;
    while (turn->taken()) {
        for (const std::wstring& journal : beside.Journals())
            PutRightJournal(beside, journal, limit, static_cast<bool>(tell), pass);
        if (pass.cutOff.outcome == CutOffSave::Outcome::None)
            break;
        turn.reset(); // nobody waits while the user reads
        tell(pass.cutOff);
        const bool forgotten = pass.Forget(beside.api());
        turn.emplace(beside);
        if (!forgotten)
            break;
        // and a save cut off meanwhile is put right too
    }
    if (pass.halfWritten || (saving && pass.left))
        return SaveResult::Failed;
    if (!turn->taken() && (saving || !beside.Journals().empty()))
        return SaveResult::Busy;
    action();
    return std::nullopt;
}

// Written through its own handle, the file stays the file it is. First the journal goes beside it and
// onto the disk, so that a read after a cut-off write can tell what it finished.
SaveResult WriteInPlace(HANDLE file, const Beside& beside, std::string_view old, std::string_view bytes)
{
    const auto id = IdOf(beside.api(), file);
    const auto journal = id ? MakeNew(beside, beside.Name(kBeforeSave), L"", 0, MakeJournal(*id, old, bytes), false)
                            : std::nullopt;
    if (!journal)
        return SaveResult::Failed;
    const SaveResult result = Overwrite(file, bytes, beside.api()) ? SaveResult::Saved
                              : Overwrite(file, old, beside.api()) ? SaveResult::Failed
                                                                   : SaveResult::Stranded;
    if (result != SaveResult::Stranded)
        DeleteByHandle(journal->file.get(), beside.api()); // the file flushed first (rule 2)
    return result; // where stranded, the journal stays for the next read
}

// The file, opened for the look and the write: no other program may write, rename or delete it
// while it is open, unless one already holds it for writing and shares it, which cannot be kept out;
// it is locked before the look, so that such a writer cannot slip in before the write either. A
// missing file is made new under its name, never through a link that has the name.
SaveResult SaveThrough(const Beside& beside, std::string_view bytes, size_t limit, const LastLook& look)
{
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    const FileApi& api = beside.api();
    FileHandle file;
    Patiently([&] {
        file = OpenFile(api, beside.path(), kAccess, OPEN_EXISTING, FILE_SHARE_READ);
        if (!file && GetLastError() == ERROR_SHARING_VIOLATION)
            file = OpenFile(api, beside.path(), kAccess, OPEN_EXISTING);
        return file || IsMissing(GetLastError());
    });
    const bool missing = !file && IsMissing(GetLastError());
    if (missing && !look(std::nullopt))
        return SaveResult::Changed;
    if (missing)
        file = OpenFile(api, beside.path(), kAccess | DELETE, CREATE_NEW, FILE_SHARE_READ, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!file)
        return SaveResult::Failed;
    const RangeLock locked = LockRange(file.get());
    const auto current = missing ? std::optional<std::string>(std::in_place) : ReadWhole(api, file.get(), limit);
    SaveResult result = SaveResult::Failed;
    if (locked && current)
        result = missing || look(current) ? WriteInPlace(file.get(), beside, *current, bytes) : SaveResult::Changed;
    if (missing && result != SaveResult::Saved && result != SaveResult::Stranded)
        DeleteByHandle(file.get(), api); // missing, as it was
    return result;
}

} // namespace

SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api, const TellCutOff& tell)
{
    if (bytes.size() > limit)
        return SaveResult::TooLarge; // it would not be read again
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & FILE_ATTRIBUTE_READONLY)
        return SaveResult::ReadOnly; // the user has said this file is not to change
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & FILE_ATTRIBUTE_DIRECTORY)
        return SaveResult::Failed;
    const Beside beside(path, api);
    SaveResult result = SaveResult::Failed;
    const auto refused = InTurn(beside, limit, tell, true, [&] { result = SaveThrough(beside, bytes, limit, look); });
    return refused ? *refused : result;
}

bool ReadInTurn(const std::wstring& path, size_t limit, const TellCutOff& tell, const std::function<void()>& read,
                const FileApi& api)
{
    return !InTurn(Beside(path, api), limit, tell, false, read);
}
