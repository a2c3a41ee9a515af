#include "listfile/SafeSave.h"

#include <sddl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

// Waits out a virus scanner or an indexer that holds a file for a moment: 100 ms a try, 10 tries,
// while the file is in use or access is denied (a file on its way out is, for a moment).
template <class Operation>
bool Patiently(Operation operation)
{
    for (int attempt = 1;; ++attempt) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt == 10)
            return false;
        Sleep(100);
    }
}

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

// FNV-1a: enough to tell a finished write from a cut-off one.
unsigned long long Checksum(std::string_view bytes)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

constexpr wchar_t kBeforeSave[] = L".before-save-"; // "<n>": a journal while the file is written
constexpr wchar_t kOld[] = L".old-";                // "<n>.txt": old bytes handed to the user

struct FileId {
    unsigned long long volume = 0, index = 0;
    bool operator==(const FileId&) const = default;
};

std::optional<FileId> IdOf(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return std::nullopt;
    return FileId{info.dwVolumeSerialNumber, static_cast<unsigned long long>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

// What a file is, and its path on its volume, which every volume gives (GetFinalPathNameByHandleW not).
struct Place {
    BY_HANDLE_FILE_INFORMATION info{};
    std::wstring path;
};
std::optional<Place> PlaceOf(HANDLE file)
{
    Place place;
    std::vector<std::byte> buffer(sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t));
    if (!GetFileInformationByHandle(file, &place.info))
        return std::nullopt;
    while (!GetFileInformationByHandleEx(file, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size()))) {
        if (GetLastError() != ERROR_MORE_DATA || buffer.size() > (1u << 20))
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
    const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    place.path.assign(name->FileName, name->FileNameLength / sizeof(wchar_t));
    return place;
}

bool DeleteByHandle(HANDLE file, const FileApi& api)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
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
        const FileHandle folder = OpenFile(path_.substr(0, path_.size() - leaf_.size()), FILE_READ_ATTRIBUTES,
                                           OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           FILE_FLAG_BACKUP_SEMANTICS);
        if (folder && (folder_ = PlaceOf(folder.get())) && !folder_->path.ends_with(L'\\'))
            folder_->path += L'\\';
    }
    const std::wstring& path() const { return path_; }
    const FileApi& api() const { return api_; }
    std::wstring Name(std::wstring_view suffix) const { return path_ + std::wstring(suffix); }

    // A new file under a free name, shared with nobody. Never through a link that has the name:
    // Windows would follow it, dangling or not, and create its target.
    FileHandle Create(const std::wstring& path, DWORD access, DWORD flags = 0) const
    {
        return OpenFile(path, access, CREATE_NEW, 0, flags | FILE_FLAG_OPEN_REPARSE_POINT, api_.create);
    }

    // A file of the save's own, opened shared with nobody: a plain file with this one name, where the
    // name says it is. Nothing where it is held (ERROR_SHARING_VIOLATION), missing, anything else
    // (kNotOurs: a link, a folder, a file with more names), or where that cannot be told.
    FileHandle OpenOwn(const std::wstring& path, DWORD access) const
    {
        FileHandle file = OpenFile(path, access, OPEN_EXISTING, 0, FILE_FLAG_OPEN_REPARSE_POINT);
        if (!file)
            return nullptr;
        const auto place = PlaceOf(file.get());
        if (place && !(place->info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
            place->info.nNumberOfLinks == 1 && folder_ &&
            place->info.dwVolumeSerialNumber == folder_->info.dwVolumeSerialNumber &&
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
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        if (!api.write(file, bytes.data(), want, &done, nullptr) || done == 0)
            return false;
        bytes.remove_prefix(done);
    }
    return true;
}

bool Overwrite(HANDLE file, std::string_view bytes, const FileApi& api)
{
    return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && WriteAll(file, bytes, api) &&
           SetEndOfFile(file) && api.flush(file);
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

// A file the save made, open and shared with nobody until it is used; removed unless kept.
class ScratchFile {
public:
    explicit ScratchFile(const Beside& beside) : beside_(beside) {} // not copied: it owns the file
    ~ScratchFile()
    {
        if (file_)
            DeleteByHandle(file_.get(), beside_.api());
    }

    // Made new under the first free name stem + n + suffix, n from first, written whole and flushed.
    bool Write(const std::wstring& stem, const wchar_t* suffix, std::string_view bytes, unsigned first = 0)
    {
        for (unsigned n = first; !file_; ++n) {
            path_ = stem + Hex(n) + suffix;
            file_ = beside_.Create(path_, GENERIC_WRITE | DELETE);
            if (!file_ && (GetLastError() != ERROR_FILE_EXISTS || n == first + 64))
                return false;
        }
        return WriteAll(file_.get(), bytes, beside_.api()) && beside_.api().flush(file_.get());
    }
    std::wstring Keep()
    {
        file_.reset();
        return path_;
    }

private:
    const Beside& beside_;
    std::wstring path_;
    FileHandle file_;
};

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

// The journal: this header, then the old bytes, then the new ones. It proves itself: what it is,
// which file it was written for, and checksums of both lists and of itself.
struct JournalHeader {
    char magic[16];
    unsigned long long volume, index, oldLength, oldChecksum, newLength, newChecksum, self;
};
constexpr char kJournalMagic[16] = {'P', 'i', 'k', 'e', 'r', 'o', 's', 'u', ' ', 'j', 'o', 'u', 'r', 'n', 'a', 'l'};

std::string MakeJournal(FileId id, std::string_view old, std::string_view bytes)
{
    JournalHeader header{{}, id.volume, id.index, old.size(), Checksum(old), bytes.size(), Checksum(bytes), 0};
    std::memcpy(header.magic, kJournalMagic, sizeof header.magic);
    header.self = Checksum({reinterpret_cast<const char*>(&header), offsetof(JournalHeader, self)});
    std::string journal(reinterpret_cast<const char*>(&header), sizeof header);
    return journal.append(old).append(bytes);
}

struct Journal {
    FileId id;
    std::string_view old, bytes;
};

// A journal proves itself whole, or cut off as it was written, before the file was touched (empty, or
// its header proves itself and more is missing); anything else is not the save's own.
enum class JournalIs { Whole, CutOff, NotOurs };
JournalIs ParseJournal(std::string_view journal, Journal& parsed)
{
    JournalHeader header;
    if (journal.size() < sizeof header)
        return journal.empty() ? JournalIs::CutOff : JournalIs::NotOurs;
    std::memcpy(&header, journal.data(), sizeof header);
    const std::string_view body = journal.substr(sizeof header);
    if (std::memcmp(header.magic, kJournalMagic, sizeof header.magic) != 0 ||
        header.self != Checksum(journal.substr(0, offsetof(JournalHeader, self))) || header.oldLength > body.size())
        return JournalIs::NotOurs;
    parsed = {{header.volume, header.index}, body.substr(0, header.oldLength), body.substr(header.oldLength)};
    if (body.size() < header.oldLength + header.newLength)
        return JournalIs::CutOff;
    return body.size() == header.oldLength + header.newLength && Checksum(parsed.old) == header.oldChecksum &&
                   Checksum(parsed.bytes) == header.newChecksum
               ? JournalIs::Whole
               : JournalIs::NotOurs;
}

// What a write in place leaves where it is cut off: at each place the old byte, the new one, or a
// zero where a power cut left a lengthened file unwritten; a length from one list's to the other's.
bool IsCutOffWrite(std::string_view now, std::string_view old, std::string_view bytes)
{
    if (now.size() < std::min(old.size(), bytes.size()) || now.size() > std::max(old.size(), bytes.size()))
        return false;
    for (size_t i = 0; i < now.size(); ++i)
        if (now[i] && !(i < old.size() && now[i] == old[i]) && !(i < bytes.size() && now[i] == bytes[i]))
            return false;
    return true;
}

// The old bytes in a new file of the user's, beside the file; its path as the user types it.
std::optional<std::wstring> HandOver(const Beside& beside, std::string_view old)
{
    ScratchFile copy(beside);
    if (!copy.Write(beside.Name(kOld), L".txt", old, 1))
        return std::nullopt;
    return UserPath(copy.Keep());
}

// Plays one journal back, where it is the save's own.
void PutRightJournal(const Beside& beside, const std::wstring& journalPath, size_t limit, CutOffSave& result,
                     int& unresolved)
{
    FileHandle journal; // a scanner may hold it, just written, for a moment
    Patiently([&] { return (journal = beside.OpenOwn(journalPath, GENERIC_READ | DELETE)) != nullptr; });
    const DWORD error = GetLastError();
    const auto bytes = journal ? ReadWhole(journal.get(), 2 * limit + sizeof(JournalHeader)) : std::nullopt;
    Journal parsed;
    const JournalIs is = bytes ? ParseJournal(*bytes, parsed) : JournalIs::NotOurs;
    if (is == JournalIs::CutOff)
        DeleteByHandle(journal.get(), beside.api());
    if (is != JournalIs::Whole) { // not the save's own, which stays, or the file never touched
        // One held by a save elsewhere, not to be read now, or whose place cannot be told: for later.
        unresolved += journal ? !bytes : error != kNotOurs && !IsMissing(error);
        return;
    }
    ++unresolved; // until it is put right
    using Outcome = CutOffSave::Outcome;
    Outcome outcome = Outcome::KeptNewer;
    FileHandle file;
    Patiently([&] {
        file = OpenFile(beside.path(), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ);
        return file || IsMissing(GetLastError());
    });
    if (file) {
        const auto id = IdOf(file.get());
        const auto now = ReadWhole(file.get(), limit);
        if (!id || !now)
            return; // not to be read now: a later start
        // Some network volumes give every file the ID 0, which tells no two files apart.
        if (id->index && parsed.id.index && *id != parsed.id)
            outcome = Outcome::KeptNewer; // replaced by another file since
        else if (*now == parsed.bytes)
            outcome = Outcome::Finished;
        else if (*now == parsed.old)
            outcome = Outcome::PutBack;
        else if (IsCutOffWrite(*now, parsed.old, parsed.bytes)) {
            const RangeLock locked = LockRange(file.get());
            if (!locked || !Overwrite(file.get(), parsed.old, beside.api()))
                return;
            outcome = Outcome::PutBack;
        }
    } else if (!IsMissing(GetLastError())) {
        return;
    }
    if (outcome == Outcome::KeptNewer) {
        const auto handedOver = HandOver(beside, parsed.old);
        if (!handedOver)
            return;
        result.oldBytesAt = *handedOver;
    }
    --unresolved;
    result.outcome = std::max(result.outcome, outcome);
    result.journals.emplace_back(journalPath, bytes->substr(0, sizeof(JournalHeader)));
}

// Everything a cut-off save left, put right in the turn; `unresolved` counts what is left for later.
CutOffSave PutRight(const Beside& beside, size_t limit, int& unresolved)
{
    CutOffSave result;
    for (const std::wstring& journal : beside.Journals())
        PutRightJournal(beside, journal, limit, result, unresolved);
    return result;
}

// Removes the journals put right, where each is still the one that was.
void Forget(const Beside& beside, const CutOffSave& cutOff)
{
    for (const auto& [path, header] : cutOff.journals) {
        const FileHandle journal = beside.OpenOwn(path, GENERIC_READ | DELETE);
        std::string start(header.size(), '\0');
        DWORD got = 0;
        if (journal && ReadFile(journal.get(), start.data(), static_cast<DWORD>(start.size()), &got, nullptr) &&
            start == header)
            DeleteByHandle(journal.get(), beside.api());
    }
}

// Written through its own handle, the file stays the file it is. First the journal goes beside it and
// onto the disk, so that a read after a cut-off write can tell what it finished.
SaveResult WriteInPlace(HANDLE file, const Beside& beside, std::string_view old, std::string_view bytes,
                        SaveReport& report)
{
    const auto id = IdOf(file);
    ScratchFile journal(beside);
    if (!id || !journal.Write(beside.Name(kBeforeSave), L"", MakeJournal(*id, old, bytes)))
        return SaveResult::Failed;
    if (Overwrite(file, bytes, beside.api()))
        return SaveResult::Saved;
    if (Overwrite(file, old, beside.api()))
        return SaveResult::Failed;
    // The journal stays for the next read; the user gets the old list now.
    report.keptAt = HandOver(beside, old).value_or(std::wstring());
    journal.Keep();
    return SaveResult::Stranded;
}

// The file, opened for the look and the write: no other program may write, rename or delete it
// while it is open, unless one already holds it for writing and shares it, which cannot be kept out;
// it is locked before the look, so that such a writer cannot slip in before the write either. A
// missing file is made new under its name, never through a link that has the name.
SaveResult SaveThrough(const Beside& beside, std::string_view bytes, size_t limit, const LastLook& look,
                       SaveReport& report)
{
    constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
    FileHandle file;
    Patiently([&] {
        file = OpenFile(beside.path(), kAccess, OPEN_EXISTING, FILE_SHARE_READ);
        if (!file && GetLastError() == ERROR_SHARING_VIOLATION)
            file = OpenFile(beside.path(), kAccess, OPEN_EXISTING);
        return file || IsMissing(GetLastError());
    });
    const bool missing = !file && IsMissing(GetLastError());
    if (missing && !look(std::nullopt))
        return SaveResult::Changed;
    if (missing)
        file = OpenFile(beside.path(), kAccess | DELETE, CREATE_NEW, FILE_SHARE_READ, FILE_FLAG_OPEN_REPARSE_POINT,
                        beside.api().create);
    if (!file)
        return SaveResult::Failed;
    const RangeLock locked = LockRange(file.get());
    const auto current = missing ? std::optional<std::string>(std::in_place) : ReadWhole(file.get(), limit);
    SaveResult result = SaveResult::Failed;
    if (locked && current)
        result = missing || look(current) ? WriteInPlace(file.get(), beside, *current, bytes, report) : SaveResult::Changed;
    if (missing && result != SaveResult::Saved && result != SaveResult::Stranded)
        DeleteByHandle(file.get(), beside.api()); // missing, as it was
    return result;
}

} // namespace

SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api, SaveReport* report)
{
    SaveReport unused;
    SaveReport& out = report ? *report : unused;
    if (bytes.size() > limit)
        return SaveResult::TooLarge; // it would not be read again
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & FILE_ATTRIBUTE_READONLY)
        return SaveResult::ReadOnly; // the user has said this file is not to change
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & FILE_ATTRIBUTE_DIRECTORY)
        return SaveResult::Failed;

    const Beside beside(path, api);
    const Turn turn(beside);
    if (!turn.taken())
        return SaveResult::Busy;
    int unresolved = 0;
    out.cutOff = PutRight(beside, limit, unresolved); // told by the caller; forgotten here, in the turn
    Forget(beside, out.cutOff);
    if (unresolved)
        return SaveResult::Failed; // the file may be half written, and two journals would not tell which came first
    return SaveThrough(beside, bytes, limit, look, out);
}

bool ReadInTurn(const std::wstring& path, size_t limit, const TellCutOff& tell, const std::function<void()>& read,
                const FileApi& api)
{
    const Beside beside(path, api);
    std::optional<Turn> turn(std::in_place, beside);
    int unresolved = 0;
    if (turn->taken()) {
        const CutOffSave cutOff = PutRight(beside, limit, unresolved);
        if (cutOff.outcome != CutOffSave::Outcome::None && tell) {
            turn.reset(); // nobody waits while the user reads
            tell(cutOff);
            turn.emplace(beside);
            if (turn->taken()) {
                Forget(beside, cutOff);
                PutRight(beside, limit, unresolved = 0); // cut off meanwhile: told at the next read
            }
        }
    }
    if (unresolved || (!turn->taken() && !beside.Journals().empty()))
        return false;
    read();
    return true;
}
