#include "listfile/SafeSave.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

// Waits out a virus scanner or an indexer that holds a file for a moment: 100 ms a try, up to
// `busy` tries while the file is in use, and a second while access is denied (a file on its way
// out is, for a moment).
template <class Operation>
bool Patiently(Operation operation, int busy = 10)
{
    for (int attempt = 1;; ++attempt) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if (!(error == ERROR_SHARING_VIOLATION && attempt < busy) && !(error == ERROR_ACCESS_DENIED && attempt < 10))
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

// "a-b-c" of hexadecimal numbers, exactly `count` of them (four at most), each written as Hex
// writes it.
std::optional<std::array<unsigned long long, 4>> ParseHexFields(std::wstring_view text, size_t count)
{
    std::array<unsigned long long, 4> fields{};
    for (size_t field = 0; field < count; ++field) {
        const size_t dash = text.find(L'-');
        if ((dash == text.npos) != (field + 1 == count))
            return std::nullopt; // too few fields, or too many
        const std::wstring_view digits = text.substr(0, dash);
        unsigned long long value = 0;
        for (const wchar_t c : digits)
            value = value << 4 | static_cast<unsigned>(c <= L'9' ? c - L'0' : c - L'a' + 10);
        if (digits.size() > 16 || Hex(value) != digits)
            return std::nullopt; // not a number as the save writes it
        fields[field] = value;
        text.remove_prefix(dash == text.npos ? text.size() : dash + 1);
    }
    return fields;
}

// FNV-1a: enough to tell a finished write from a cut-off one.
unsigned long long Checksum(std::string_view bytes)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool Exists(DWORD error)
{
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

// Names beside the file, each saying what it holds.
constexpr wchar_t kSaving[] = L".saving-";           // on its way in; "<pid>-<n>-<length>-<checksum>" for a whole new file
constexpr wchar_t kBeforeSave[] = L".before-save-";  // "<n>": a journal while the file is written in place
constexpr wchar_t kLock[] = L".lock";                // one save of the file at a time
constexpr wchar_t kOld[] = L".old-";                 // "<n>.txt": old bytes handed to the user

std::wstring FinalName(HANDLE file)
{
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(file, name.data(), static_cast<DWORD>(name.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return {};
        const bool fits = length < name.size();
        name.resize(length);
        if (fits)
            return name;
    }
}

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

// Which file a name stands for now, without reading it: even a scanner holding it allows this.
std::optional<FileId> IdAt(const std::wstring& path)
{
    const FileHandle file = OpenFile(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    return file ? IdOf(file.get()) : std::nullopt;
}

// The file and the names beside it, and where they really are: a name beside the file is the
// save's own only where it leads to exactly that place.
class Beside {
public:
    explicit Beside(const std::wstring& path) : path_(path), leaf_(path.substr(path.find_last_of(L'\\') + 1)) {}
    const std::wstring& path() const { return path_; }
    std::wstring Name(std::wstring_view suffix) const { return path_ + std::wstring(suffix); }

    // A file of the save's own, opened shared with nobody: a plain file with this one name, where
    // the name says it is. Nothing where it is held (ERROR_SHARING_VIOLATION), missing, or anything
    // else (ERROR_ACCESS_DENIED): a link, a folder, a file with more names.
    FileHandle OpenOwn(const std::wstring& path, DWORD access) const
    {
        FileHandle file = OpenFile(path, access, OPEN_EXISTING, 0, FILE_FLAG_OPEN_REPARSE_POINT);
        if (!file)
            return nullptr;
        BY_HANDLE_FILE_INFORMATION info{};
        const std::wstring leaf = path.substr(path.find_last_of(L'\\') + 1);
        if (GetFileInformationByHandle(file.get(), &info) &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
            info.nNumberOfLinks == 1 &&
            CompareStringOrdinal(UserPath(FinalName(file.get())).c_str(), -1, (FinalFolder() + leaf).c_str(), -1,
                                 TRUE) == CSTR_EQUAL)
            return file;
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }

    // The names beside the file that begin with kind, followed by what stands after it.
    std::vector<std::pair<std::wstring, std::wstring>> Find(const wchar_t* kind) const
    {
        std::vector<std::pair<std::wstring, std::wstring>> found;
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((path_ + kind + L"*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE)
            return found;
        const std::wstring prefix = leaf_ + kind;
        do {
            const std::wstring_view name = data.cFileName;
            if (name.size() > prefix.size() &&
                CompareStringOrdinal(name.data(), static_cast<int>(prefix.size()), prefix.c_str(), -1, TRUE) ==
                    CSTR_EQUAL)
                found.emplace_back(path_.substr(0, path_.size() - leaf_.size()) + data.cFileName,
                                   data.cFileName + prefix.size());
        } while (FindNextFileW(search, &data));
        FindClose(search);
        return found;
    }

private:
    // Where the folder really is, asked once and only where a name beside the file is checked.
    const std::wstring& FinalFolder() const
    {
        if (finalFolder_.empty()) {
            const std::wstring folder = path_.substr(0, path_.size() - leaf_.size());
            const FileHandle handle = OpenFile(folder, FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               FILE_FLAG_BACKUP_SEMANTICS);
            const std::wstring final = handle ? FinalName(handle.get()) : std::wstring();
            finalFolder_ = UserPath(final.empty() ? folder : final);
            if (!finalFolder_.ends_with(L'\\'))
                finalFolder_ += L'\\';
        }
        return finalFolder_;
    }

    std::wstring path_, leaf_;
    mutable std::wstring finalFolder_;
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

// Windows 10 1709's rename class (22), which these headers show only to programs for that version.
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

bool DeleteByHandle(HANDLE file, const FileApi& api)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    return api.setInfo(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Renames the open file; class FileRenameInfo (flags: replace or not) or FileRenameInfoEx.
bool RenameByHandle(HANDLE file, const std::wstring& to, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags,
                    const FileApi& api)
{
    std::vector<std::byte> buffer(offsetof(FILE_RENAME_INFO, FileName) + (to.size() + 1) * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    std::memcpy(buffer.data(), &flags, sizeof flags); // ReplaceIfExists or Flags, as the class reads it
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
    return api.setInfo(file, kind, info, static_cast<DWORD>(buffer.size()));
}

// The rename's own write-through: the new name is on the disk before anything goes on.
bool RenameDurably(HANDLE file, const std::wstring& to, FILE_INFO_BY_HANDLE_CLASS kind, DWORD flags,
                   const FileApi& api)
{
    return RenameByHandle(file, to, kind, flags, api) && api.flush(file);
}

// Gives the open file a name no file has. The name is claimed for a moment and let go first, since
// a rename would take the place of a link whose target cannot be reached, which Wine shows as no
// file at all.
bool TakeFreeName(HANDLE file, const std::wstring& path, const FileApi& api)
{
    if (!OpenFile(path, GENERIC_WRITE | DELETE, CREATE_NEW, 0, FILE_FLAG_DELETE_ON_CLOSE))
        return false; // the claim is let go here, before the rename
    return RenameDurably(file, path, FileRenameInfo, FALSE, api);
}

// A file the save made, open and shared with nobody until it is used; removed unless kept.
class ScratchFile {
public:
    ScratchFile(const Beside& beside, const FileApi& api) : beside_(beside), api_(api) {}
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { Remove(); }

    const std::wstring& path() const { return path_; }
    HANDLE handle() const { return file_.get(); }

    // Made new under the first free name stem + n + suffix, n counting from first, written whole
    // and on the disk.
    bool Write(const std::wstring& stem, const wchar_t* suffix, std::string_view bytes, unsigned first = 0)
    {
        for (unsigned n = first; !file_; ++n) {
            path_ = stem + Hex(n) + suffix;
            file_ = OpenFile(path_, GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, CREATE_NEW, 0);
            if (!file_ && (!Exists(GetLastError()) || n == first + 64)) {
                path_.clear();
                return false;
            }
        }
        return WriteAll(file_.get(), bytes, api_) && api_.flush(file_.get());
    }
    bool RenameTo(const std::wstring& to)
    {
        if (!RenameDurably(file_.get(), to, FileRenameInfo, FALSE, api_))
            return false;
        path_ = to;
        return true;
    }
    void Close() { file_.reset(); }
    // Opened again after a rename by name failed, to be used or removed as the save's own.
    bool Reopen()
    {
        file_ = beside_.OpenOwn(path_, GENERIC_READ | GENERIC_WRITE | DELETE);
        return file_ != nullptr;
    }
    std::wstring Keep()
    {
        file_.reset();
        return std::exchange(path_, {});
    }

private:
    void Remove()
    {
        if (!path_.empty() && (file_ || Reopen()))
            DeleteByHandle(file_.get(), api_);
        file_.reset();
        path_.clear();
    }

    const Beside& beside_;
    const FileApi& api_;
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

// Held while a save or a start looks at the file and changes it, so that two copies take turns
// and the second one sees the first one's list: a lock file, which the system removes with the
// handle; one left by a copy that was cut off is removed where it is a plain file of the save's
// own nobody holds. Where something else has the lock's name (a link), a mutex of this machine
// named after the file takes its place rather than stopping every save.
class SaveLock {
public:
    SaveLock(const Beside& beside, const FileApi& api)
    {
        const std::wstring name = beside.Name(kLock);
        bool foreign = false;
        const bool locked = Patiently(
            [&] {
                file_ = OpenFile(name, GENERIC_WRITE | DELETE, CREATE_NEW, 0,
                                 FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE);
                if (file_ || !Exists(GetLastError()))
                    return file_ != nullptr;
                const FileHandle stale = beside.OpenOwn(name, DELETE);
                foreign = !stale && GetLastError() == ERROR_ACCESS_DENIED; // for a second of tries
                if (stale)
                    DeleteByHandle(stale.get(), api);
                if (!foreign)
                    SetLastError(ERROR_SHARING_VIOLATION); // held by another copy, or just gone: try again
                return false;
            },
            50);
        if (locked || !foreign)
            return;
        const std::wstring_view path = beside.path();
        const std::string_view bytes(reinterpret_cast<const char*>(path.data()), path.size() * sizeof(wchar_t));
        HANDLE mutex = CreateMutexW(nullptr, FALSE, (L"Local\\Pikerosu-save-" + Hex(Checksum(bytes))).c_str());
        const DWORD waited = mutex ? WaitForSingleObject(mutex, 5000) : WAIT_FAILED;
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            mutex_.reset(mutex);
        else if (mutex)
            CloseHandle(mutex);
    }
    explicit operator bool() const { return file_ || mutex_; }

private:
    FileHandle file_;
    std::unique_ptr<void, MutexReleaser> mutex_;
};

// The new file under a name that says what it holds, so that where the rename lost the file's name
// the next start can prove it whole.
bool WriteNewFile(const Beside& beside, std::string_view bytes, ScratchFile& file)
{
    const std::wstring what = L"-" + Hex(bytes.size()) + L"-" + Hex(Checksum(bytes));
    return file.Write(beside.Name(kSaving) + Hex(GetCurrentProcessId()) + L"-", what.c_str(), bytes);
}

// What a save left that nothing holds: a new file whose rename never came, or the start of a
// journal. Only while the file's name is there: otherwise one of them may be all that is left.
void RemoveLeftovers(const Beside& beside, const FileApi& api)
{
    for (const auto& [path, tail] : beside.Find(kSaving))
        if (ParseHexFields(tail, 2) || ParseHexFields(tail, 4))
            if (const FileHandle leftover = beside.OpenOwn(path, DELETE))
                DeleteByHandle(leftover.get(), api);
}

// The journal: this header, then the old bytes, then the new ones. It proves itself: what it is,
// which file it was written for, and checksums of both lists and of itself.
struct JournalHeader {
    char magic[16];
    unsigned long long volume, index, oldLength, oldChecksum, newLength, newChecksum, self;
};
constexpr char kJournalMagic[16] = {'P', 'i', 'k', 'e', 'r', 'o', 's', 'u', ' ', 'j', 'o', 'u', 'r', 'n', 'a', 'l'};

std::string MakeJournal(FileId id, std::string_view old, std::string_view bytes)
{
    JournalHeader header{};
    std::memcpy(header.magic, kJournalMagic, sizeof header.magic);
    header.volume = id.volume;
    header.index = id.index;
    header.oldLength = old.size();
    header.oldChecksum = Checksum(old);
    header.newLength = bytes.size();
    header.newChecksum = Checksum(bytes);
    header.self = Checksum({reinterpret_cast<const char*>(&header), offsetof(JournalHeader, self)});
    std::string journal(reinterpret_cast<const char*>(&header), sizeof header);
    return journal.append(old).append(bytes);
}

struct Journal {
    FileId id;
    std::string_view old, bytes;
    std::string header;
};

std::optional<Journal> ParseJournal(std::string_view journal)
{
    JournalHeader header;
    if (journal.size() < sizeof header)
        return std::nullopt;
    std::memcpy(&header, journal.data(), sizeof header);
    const std::string_view body = journal.substr(sizeof header);
    if (std::memcmp(header.magic, kJournalMagic, sizeof header.magic) != 0 ||
        header.self != Checksum(journal.substr(0, offsetof(JournalHeader, self))) ||
        body.size() != header.oldLength + header.newLength || header.oldLength > body.size())
        return std::nullopt;
    Journal parsed{{header.volume, header.index}, body.substr(0, header.oldLength), body.substr(header.oldLength),
                   std::string(journal.substr(0, sizeof header))};
    if (Checksum(parsed.old) != header.oldChecksum || Checksum(parsed.bytes) != header.newChecksum)
        return std::nullopt;
    return parsed;
}

// What a write in place leaves where it is cut off: at each place the old byte or the new one,
// and a length from one list's to the other's.
bool IsCutOffWrite(std::string_view now, std::string_view old, std::string_view bytes)
{
    if (now.size() < std::min(old.size(), bytes.size()) || now.size() > std::max(old.size(), bytes.size()))
        return false;
    for (size_t i = 0; i < now.size(); ++i)
        if (!(i < old.size() && now[i] == old[i]) && !(i < bytes.size() && now[i] == bytes[i]))
            return false;
    return true;
}

// The old bytes in a new file of the user's, beside the file; its path as the user types it.
std::optional<std::wstring> HandOver(const Beside& beside, std::string_view old, const FileApi& api)
{
    ScratchFile copy(beside, api);
    if (!copy.Write(beside.Name(kOld), L".txt", old, 1))
        return std::nullopt;
    return UserPath(copy.Keep());
}

// Plays one journal back, where it is the save's own; `unresolved` counts those left for later.
void PutRightJournal(const Beside& beside, const std::wstring& journalPath, size_t limit, const FileApi& api,
                     CutOffSave& result, int& unresolved)
{
    const FileHandle journal = beside.OpenOwn(journalPath, GENERIC_READ);
    const auto bytes = journal ? ReadWhole(journal.get(), 2 * limit + sizeof(JournalHeader)) : std::nullopt;
    const auto parsed = bytes ? ParseJournal(*bytes) : std::nullopt;
    if (!parsed) {
        unresolved += journal == nullptr && GetLastError() == ERROR_SHARING_VIOLATION;
        return; // not the save's own: left alone
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
        if (*id != parsed->id)
            outcome = Outcome::KeptNewer; // replaced by another file since
        else if (*now == parsed->bytes)
            outcome = Outcome::Finished;
        else if (*now == parsed->old)
            outcome = Outcome::PutBack;
        else if (IsCutOffWrite(*now, parsed->old, parsed->bytes)) {
            if (!Overwrite(file.get(), parsed->old, api))
                return;
            outcome = Outcome::PutBack;
        }
    } else if (!IsMissing(GetLastError())) {
        return;
    }
    if (outcome == Outcome::KeptNewer) {
        const auto handedOver = HandOver(beside, parsed->old, api);
        if (!handedOver)
            return;
        result.oldBytesAt = *handedOver;
    }
    --unresolved;
    result.outcome = std::max(result.outcome, outcome);
    result.journals.emplace_back(journalPath, parsed->header);
}

// Where a replace on a file system that deletes the old file before it renames the new one (FAT,
// exFAT) was cut off in between, the whole new file takes the name that has gone.
void PutDetachedInPlace(const Beside& beside, size_t limit, const FileApi& api, CutOffSave& result)
{
    struct Candidate {
        std::wstring path;
        FileHandle file;
    };
    std::optional<Candidate> newest;
    FILETIME newestTime{};
    for (const auto& [path, tail] : beside.Find(kSaving)) {
        const auto fields = ParseHexFields(tail, 4);
        FileHandle file = fields ? beside.OpenOwn(path, GENERIC_READ | GENERIC_WRITE | DELETE) : nullptr;
        const auto bytes = file ? ReadWhole(file.get(), limit) : std::nullopt;
        FILETIME written{};
        if (!bytes || bytes->size() != (*fields)[2] || Checksum(*bytes) != (*fields)[3] ||
            !GetFileTime(file.get(), nullptr, nullptr, &written))
            continue;
        if (!newest || CompareFileTime(&written, &newestTime) > 0) {
            newest = Candidate{path, std::move(file)};
            newestTime = written;
        }
    }
    if (newest && TakeFreeName(newest->file.get(), beside.path(), api))
        result.outcome = CutOffSave::Outcome::NewFilePlaced;
}

bool NameIsGone(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && IsMissing(GetLastError());
}

// Everything a cut-off save left, put right; the lock is held.
CutOffSave PutRight(const Beside& beside, size_t limit, const FileApi& api, int& unresolved)
{
    CutOffSave result;
    for (const auto& [path, tail] : beside.Find(kBeforeSave))
        if (ParseHexFields(tail, 1))
            PutRightJournal(beside, path, limit, api, result, unresolved);
    if (NameIsGone(beside.path()))
        PutDetachedInPlace(beside, limit, api, result);
    return result;
}

// Removes the journals that were put right, where each is still the one that was; the lock is held.
void Forget(const Beside& beside, const CutOffSave& cutOff, const FileApi& api)
{
    for (const auto& [path, header] : cutOff.journals) {
        const FileHandle journal = beside.OpenOwn(path, GENERIC_READ | DELETE);
        std::string start(header.size(), '\0');
        DWORD got = 0;
        if (journal && ReadFile(journal.get(), start.data(), static_cast<DWORD>(start.size()), &got, nullptr) &&
            start == header)
            DeleteByHandle(journal.get(), api);
    }
}

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

// The one rename cannot keep what the file is: more names than this one, encryption, compression or
// named streams.
bool KeepsItselfOnlyInPlace(HANDLE file, const FileApi& api)
{
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(file, &info) || !api.getInfo(file, FileBasicInfo, &basic, sizeof basic))
        return true;
    if (info.nNumberOfLinks > 1 || basic.FileAttributes & (FILE_ATTRIBUTE_ENCRYPTED | FILE_ATTRIBUTE_COMPRESSED))
        return true;
    std::vector<std::byte> streams(4096);
    if (api.getInfo(file, FileStreamInfo, streams.data(), static_cast<DWORD>(streams.size())))
        return reinterpret_cast<const FILE_STREAM_INFO*>(streams.data())->NextEntryOffset != 0;
    return GetLastError() == ERROR_MORE_DATA; // a file system without streams says so otherwise
}

// The new file has the old one's owner (an elevated program's files belong to Administrators).
bool SameOwner(HANDLE old, HANDLE replacement, const FileApi& api)
{
    PSID owners[2] = {};
    PSECURITY_DESCRIPTOR descriptors[2] = {};
    const bool got = api.getSecurity(old, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owners[0], nullptr, nullptr,
                                     nullptr, &descriptors[0]) == ERROR_SUCCESS &&
                     GetSecurityInfo(replacement, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owners[1], nullptr,
                                     nullptr, nullptr, &descriptors[1]) == ERROR_SUCCESS;
    const std::unique_ptr<void, LocalFreer> owned[2] = {std::unique_ptr<void, LocalFreer>(descriptors[0]),
                                                        std::unique_ptr<void, LocalFreer>(descriptors[1])};
    return !got || !owners[0] || !owners[1] || EqualSid(owners[0], owners[1]); // a file system without owners
}

// What a user sees of the old file goes to the new one before it takes the name: attributes,
// creation time, and permissions set on the file itself (inherited ones it gets from the folder).
// The archive bit is set, as any write sets it. False where the new file cannot be made the same.
bool CarryOver(HANDLE from, HANDLE to, const FileApi& api)
{
    if (!SameOwner(from, to, api))
        return false;
    FILE_BASIC_INFO old{};
    if (!api.getInfo(from, FileBasicInfo, &old, sizeof old))
        return false;
    constexpr DWORD kUserAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};
    basic.CreationTime = old.CreationTime;
    basic.FileAttributes = (old.FileAttributes & kUserAttributes) | FILE_ATTRIBUTE_ARCHIVE;
    if (!api.setInfo(to, FileBasicInfo, &basic, sizeof basic))
        return false;

    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return false;
    const std::unique_ptr<void, LocalFreer> owned(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!dacl || !GetSecurityDescriptorControl(descriptor, &control, &revision))
        return true;
    bool own = control & SE_DACL_PROTECTED;
    for (DWORD i = 0; !own && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        own = GetAce(dacl, i, &ace) && !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE);
    }
    if (!own)
        return true;
    const SECURITY_INFORMATION which = DACL_SECURITY_INFORMATION | (control & SE_DACL_PROTECTED
                                                                        ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                        : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

// The file at its last look: open and read, and passed by the caller's look.
struct Look {
    FileHandle file;
    std::optional<std::string> bytes;
    bool sharedWithWriters = false;
};
constexpr DWORD kLookAccess = GENERIC_READ | GENERIC_WRITE | READ_CONTROL;

// Nobody else may write while the look is open, unless a program already holds the file for
// writing and shares it with everyone: that one cannot be kept out, and does not stop the save.
std::optional<SaveResult> TakeLook(const std::wstring& path, size_t limit, const LastLook& look, Look& taken)
{
    Patiently([&] {
        taken.file = OpenFile(path, kLookAccess, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_DELETE);
        taken.sharedWithWriters = !taken.file && GetLastError() == ERROR_SHARING_VIOLATION;
        if (taken.sharedWithWriters)
            taken.file = OpenFile(path, kLookAccess, OPEN_EXISTING);
        return taken.file || IsMissing(GetLastError());
    });
    if (!taken.file && !IsMissing(GetLastError()))
        return SaveResult::Failed;
    if (taken.file && !(taken.bytes = ReadWhole(taken.file.get(), limit)))
        return SaveResult::Failed;
    if (!look(taken.bytes))
        return SaveResult::Refused;
    return std::nullopt;
}

// The file is written through its own handle, so that it stays the file it is. First the journal
// goes beside it, so that a start after a cut-off write can tell what it finished.
SaveResult WriteInPlace(Look& current, const Beside& beside, std::string_view bytes, const FileApi& api,
                        SaveReport& report)
{
    const auto id = IdOf(current.file.get());
    ScratchFile journal(beside, api);
    if (!id || !journal.Write(beside.Name(kSaving) + Hex(GetCurrentProcessId()) + L"-", L"",
                              MakeJournal(*id, *current.bytes, bytes)))
        return SaveResult::Failed;
    for (unsigned n = 0; !journal.RenameTo(beside.Name(kBeforeSave) + Hex(n)); ++n)
        if (!Exists(GetLastError()) || n == 64)
            return SaveResult::Failed;
    if (Overwrite(current.file.get(), bytes, api))
        return SaveResult::Saved;
    if (Overwrite(current.file.get(), *current.bytes, api))
        return SaveResult::Failed;
    // The journal stays for the next start; the user gets the old list now.
    report.keptAt = HandOver(beside, *current.bytes, api).value_or(std::wstring());
    journal.Keep();
    return SaveResult::Stranded;
}

using Content = std::optional<std::string>;
Content ContentAt(const std::wstring& path, size_t limit)
{
    const FileHandle file = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
    return file ? ReadWhole(file.get(), limit) : std::nullopt;
}

// A failed rename, judged by which file the name stands for now: the new one (it happened, but its
// write-through did not finish), the old one, none, or another program's.
enum class AfterRename { New, Old, Gone, Other };
AfterRename Judge(const std::wstring& path, const std::optional<FileId>& oldId, const std::optional<FileId>& newId)
{
    const auto now = IdAt(path);
    if (now && now == newId)
        return AfterRename::New;
    if (!now && IsMissing(GetLastError()))
        return oldId ? AfterRename::Gone : AfterRename::Old;
    return now && now == oldId ? AfterRename::Old : AfterRename::Other;
}

// Puts the new file in the old one's place by one rename. Where the system allows it, the rename
// comes while the look still holds the file; otherwise the look is taken again before every try.
// Nothing where one rename cannot do it: a program holds the file open for writing, and only a
// rename that replaces open files would leave its handle valid.
std::optional<SaveResult> Replace(Look& current, const Beside& beside, size_t limit, const LastLook& look, ScratchFile& replacement,
                   const FileApi& api, SaveReport& report)
{
    const std::wstring& path = beside.path();
    const auto newId = IdOf(replacement.handle());
    if (!current.file) { // no file to replace: the new one takes a free name
        if (TakeFreeName(replacement.handle(), path, api)) {
            replacement.Keep();
            return SaveResult::Saved;
        }
        // Taken since the look: another program's; or a link whose target cannot be reached.
        return Exists(GetLastError()) && IdAt(path) ? SaveResult::Refused : SaveResult::Failed;
    }
    const auto oldId = IdOf(current.file.get());
    if (RenameDurably(replacement.handle(), path, kFileRenameInfoEx,
                      FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS, api)) {
        replacement.Keep();
        return SaveResult::Saved;
    }
    if (current.sharedWithWriters)
        return std::nullopt;
    // One rename by name, which a file that is open does not allow.
    replacement.Close();
    for (int attempt = 1;; ++attempt) {
        current.file.reset();
        if (api.move(replacement.path().c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            replacement.Keep();
            return SaveResult::Saved;
        }
        const DWORD error = GetLastError();
        switch (Judge(path, oldId, newId)) {
        case AfterRename::New:
            replacement.Keep();
            return SaveResult::Saved;
        case AfterRename::Other:
            return SaveResult::Refused; // another program put its own file there meanwhile
        case AfterRename::Gone:
            // The old file went and the new one did not come (FAT deletes before it renames).
            if (replacement.Reopen() && TakeFreeName(replacement.handle(), path, api)) {
                replacement.Keep();
                return SaveResult::Saved;
            }
            report.keptAt = UserPath(replacement.Keep());
            return SaveResult::Detached;
        case AfterRename::Old:
            break;
        }
        // Still the old file: written by another program meanwhile, or as it was (or not to be read
        // now, which is no sign of a change).
        if (const Content now = ContentAt(path, limit); now && *now != *current.bytes)
            return SaveResult::Refused;
        if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt == 10)
            return SaveResult::Failed;
        Sleep(100);
        Look again;
        if (const auto refused = TakeLook(path, limit, look, again))
            return *refused;
        if (!again.file || IdOf(again.file.get()) != oldId)
            return SaveResult::Refused;
        current = std::move(again);
    }
}

} // namespace

FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD disposition, DWORD share, DWORD flags)
{
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags ? flags : FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    return FileHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::optional<std::string> ReadWhole(HANDLE file, size_t limit)
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
        if (!ReadFile(file, bytes.data() + used, want, &got, nullptr))
            return std::nullopt;
        if (got == 0) {
            bytes.resize(used);
            return used > limit ? std::nullopt : std::optional(std::move(bytes));
        }
        used += got;
    }
}

std::optional<std::wstring> FileBehindLinks(const std::wstring& path)
{
    const FileHandle file = OpenFile(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (!file)
        return path; // missing (created as it is) or unusable (the save fails on its own)
    std::wstring target = FinalName(file.get());
    if (target.empty()) // a volume without a drive letter: fine for a plain file only
        return GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT ? std::nullopt : std::optional(path);
    return target;
}

std::wstring UserPath(std::wstring_view path)
{
    if (path.starts_with(L"\\\\?\\UNC\\"))
        return L"\\\\" + std::wstring(path.substr(8));
    if (path.starts_with(L"\\\\?\\"))
        path.remove_prefix(4);
    return std::wstring(path);
}

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

    const Beside beside(path);
    const SaveLock lock(beside, api);
    if (!lock)
        return SaveResult::Failed;
    int unresolved = 0;
    out.cutOff = PutRight(beside, limit, api, unresolved); // told by the caller; forgotten here, under the lock
    Forget(beside, out.cutOff, api);
    if (!NameIsGone(path))
        RemoveLeftovers(beside, api);

    Look current;
    if (const auto refused = TakeLook(path, limit, look, current))
        return *refused;
    if (!current.file || !KeepsItselfOnlyInPlace(current.file.get(), api)) {
        ScratchFile replacement(beside, api);
        if (!WriteNewFile(beside, bytes, replacement))
            return SaveResult::Failed;
        if (!current.file || CarryOver(current.file.get(), replacement.handle(), api))
            if (const auto replaced = Replace(current, beside, limit, look, replacement, api, out))
                return *replaced;
    }
    return unresolved ? SaveResult::Failed // two journals would not tell which came first
                      : WriteInPlace(current, beside, bytes, api, out);
}

CutOffSave PutRightCutOffSave(const std::wstring& path, size_t limit, const FileApi& api)
{
    const Beside beside(path);
    // The common case, and no lock to wait for in a folder nobody may write to.
    if (beside.Find(kBeforeSave).empty() && (beside.Find(kSaving).empty() || !NameIsGone(path)))
        return {};
    const SaveLock lock(beside, api);
    int unresolved = 0;
    return lock ? PutRight(beside, limit, api, unresolved) : CutOffSave{};
}

void ForgetCutOffSave(const std::wstring& path, const CutOffSave& cutOff)
{
    if (cutOff.journals.empty())
        return;
    const Beside beside(path);
    const FileApi api;
    if (const SaveLock lock(beside, api); lock)
        Forget(beside, cutOff, api);
}
