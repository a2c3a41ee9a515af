#include "listfile/SafeSave.h"

#include <aclapi.h>

#include <iterator>
#include <utility>
#include <vector>

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
    std::wstring digits;
    for (unsigned long long rest = value; digits.empty() || rest; rest >>= 4)
        digits.insert(digits.begin(), L"0123456789abcdef"[rest & 15]);
    return digits;
}

std::optional<unsigned long long> ParseHex(std::wstring_view digits)
{
    if (digits.empty() || digits.size() > 16)
        return std::nullopt;
    unsigned long long value = 0;
    for (const wchar_t c : digits) {
        const int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value << 4 | static_cast<unsigned>(digit);
    }
    return value;
}

// FNV-1a: enough to tell a finished write from a cut-off one.
unsigned long long Checksum(std::string_view bytes)
{
    unsigned long long hash = 0xcbf29ce484222325ull;
    for (const char c : bytes)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return hash;
}

std::wstring Folder(const std::wstring& path)
{
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Names beside the file, each saying what it holds.
constexpr wchar_t kSaving[] = L".saving-";           // new bytes on their way in; a leftover once nothing holds it
constexpr wchar_t kBeforeSave[] = L".before-save-";  // the old bytes while the file is written in place
constexpr wchar_t kLock[] = L".lock";                // one save of the file at a time

// A file of the save's own, open and shared with nobody until it is used; removed unless kept.
class ScratchFile {
public:
    explicit ScratchFile(const FileApi& api) : api_(api) {}
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { Reset({}); }

    const std::wstring& path() const { return path_; }
    HANDLE handle() const { return file_.get(); }
    void Close() { file_.reset(); }
    void Reset(std::wstring path, FileHandle file = nullptr)
    {
        file_.reset();
        if (!path_.empty())
            Patiently([this] { return api_.remove(path_.c_str()) || IsMissing(GetLastError()); });
        path_ = std::move(path);
        file_ = std::move(file);
    }
    std::wstring Keep()
    {
        file_.reset();
        return std::exchange(path_, {});
    }

private:
    const FileApi& api_;
    std::wstring path_;
    FileHandle file_;
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

// The bytes beside the file under a name of this save's own, on the disk before they are used.
bool WriteBeside(const std::wstring& path, std::string_view bytes, const FileApi& api, ScratchFile& written)
{
    const std::wstring stem = path + kSaving + Hex(GetCurrentProcessId()) + L"-";
    for (int attempt = 0; !written.handle(); ++attempt) {
        std::wstring name = stem + Hex(static_cast<unsigned>(attempt));
        FileHandle file = OpenFile(name, GENERIC_WRITE | WRITE_DAC, CREATE_NEW, 0);
        if (file)
            written.Reset(std::move(name), std::move(file));
        else if (GetLastError() != ERROR_FILE_EXISTS || attempt == 64)
            return false;
    }
    return WriteAll(written.handle(), bytes, api) && api.flush(written.handle());
}

bool Overwrite(HANDLE file, std::string_view bytes, const FileApi& api)
{
    return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && WriteAll(file, bytes, api) &&
           SetEndOfFile(file) && api.flush(file);
}

// Held while a save looks at the file and replaces it, so that two copies saving at once take
// turns and the second one sees the first one's list. The system removes it with the handle.
FileHandle LockFile(const std::wstring& path)
{
    FileHandle lock;
    Patiently(
        [&] {
            lock = OpenFile(path + kLock, GENERIC_WRITE | DELETE, OPEN_ALWAYS, 0,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE);
            return lock != nullptr;
        },
        50);
    return lock;
}

// The full paths of the files of one kind (kSaving, kBeforeSave) beside the file.
std::vector<std::wstring> FilesBeside(const std::wstring& path, const wchar_t* kind)
{
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + kind + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return files;
    const std::wstring folder = Folder(path);
    do
        files.push_back(folder + found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return files;
}

// Files of this save's kind that no running save holds open are what a cut-off save left.
void RemoveLeftovers(const std::wstring& path, const FileApi& api)
{
    for (const std::wstring& leftover : FilesBeside(path, kSaving))
        api.remove(leftover.c_str()); // one still being written is not ours to take
}

struct LocalFreer {
    void operator()(void* memory) const { LocalFree(memory); }
};

// What a user sees of the old file goes to the new one before it takes the name: attributes,
// creation time, and permissions set on the file itself (inherited ones it gets from the folder).
bool CarryOver(HANDLE from, HANDLE to)
{
    FILE_BASIC_INFO old{};
    if (!GetFileInformationByHandleEx(from, FileBasicInfo, &old, sizeof old))
        return false;
    constexpr DWORD kUserAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};
    basic.CreationTime = old.CreationTime;
    basic.FileAttributes = (old.FileAttributes & kUserAttributes) ? old.FileAttributes & kUserAttributes
                                                                   : FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(to, FileBasicInfo, &basic, sizeof basic))
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

bool HasJournal(const std::wstring& path)
{
    return !FilesBeside(path, kBeforeSave).empty();
}

// A file with more than one name is written through its own handle, so that every name sees the
// new bytes. First its old bytes go beside it, complete under a name that gives the new bytes'
// length and checksum, so that a start after a cut-off write can tell what it finished.
SaveResult WriteInPlace(HANDLE file, const std::wstring& path, std::string_view old, std::string_view bytes,
                        const FileApi& api, std::wstring* strandedAt)
{
    if (HasJournal(path))
        return SaveResult::Failed; // one that could not be played back: two would not tell which came first
    ScratchFile journal(api);
    if (!WriteBeside(path, old, api, journal))
        return SaveResult::Failed;
    journal.Close();
    std::wstring name = path + kBeforeSave + Hex(bytes.size()) + L"-" + Hex(Checksum(bytes));
    if (!api.move(journal.path().c_str(), name.c_str(), MOVEFILE_WRITE_THROUGH))
        return SaveResult::Failed;
    journal.Keep(); // its first name went with the move
    journal.Reset(std::move(name));
    if (Overwrite(file, bytes, api))
        return SaveResult::Saved;
    if (Overwrite(file, old, api))
        return SaveResult::Failed;
    if (strandedAt)
        *strandedAt = UserPath(journal.path());
    journal.Keep(); // the next start puts it back
    return SaveResult::Stranded;
}

// What the name holds now: its bytes, nothing for no file, or a read error.
struct Content {
    bool exists = false;
    std::optional<std::string> bytes;
};
Content Now(const std::wstring& path, size_t limit)
{
    const FileHandle file = OpenFile(path, GENERIC_READ, OPEN_EXISTING);
    if (!file)
        return {!IsMissing(GetLastError()), std::nullopt};
    return {true, ReadWhole(file.get(), limit)};
}

// Puts the new file in the old one's place by one rename, carrying over what the user sees of
// the old one; where there was none, an empty one first claims the name (a link whose target
// cannot be reached is not free, and a rename would replace it).
SaveResult Replace(FileHandle current, const std::wstring& path, const std::optional<std::string>& old,
                   std::string_view bytes, size_t limit, ScratchFile& replacement, const FileApi& api)
{
    bool placeholder = false;
    if (current) {
        if (!CarryOver(current.get(), replacement.handle()))
            return SaveResult::Failed;
    } else {
        if (!OpenFile(path, GENERIC_WRITE, CREATE_NEW, 0)) // taken since the look: another program's
            return GetLastError() == ERROR_FILE_EXISTS && Now(path, limit).exists ? SaveResult::Refused
                                                                                  : SaveResult::Failed;
        placeholder = true;
    }
    replacement.Close();
    current.reset(); // a file that is open cannot be renamed over
    if (Patiently([&] {
            return api.move(replacement.path().c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        })) {
        replacement.Keep();
        return SaveResult::Saved;
    }
    // A rename may fail after it has happened (its write-through did not finish): go by content.
    const Content after = Now(path, limit);
    if (after.bytes && *after.bytes == bytes) {
        replacement.Keep();
        return SaveResult::Saved;
    }
    if (placeholder && after.bytes && after.bytes->empty()) {
        api.remove(path.c_str());
        return SaveResult::Failed;
    }
    if (old ? after.bytes == old : !after.exists)
        return SaveResult::Failed;
    return SaveResult::Refused; // another program wrote it meanwhile
}

// Plays back every journal beside the file; the lock is held.
bool PlayBack(const std::wstring& path, size_t limit, const FileApi& api)
{
    bool playedBack = false;
    for (const std::wstring& journal : FilesBeside(path, kBeforeSave)) {
        // The name says the new bytes' length and checksum: "<path>.before-save-<length>-<checksum>".
        const std::wstring_view tail = std::wstring_view(journal).substr(path.size() + std::size(kBeforeSave) - 1);
        const size_t dash = tail.find(L'-');
        const auto length = ParseHex(tail.substr(0, dash));
        const auto checksum = dash == tail.npos ? std::nullopt : ParseHex(tail.substr(dash + 1));
        const Content old = Now(journal, limit);
        const FileHandle file = OpenFile(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ);
        const auto now = file ? ReadWhole(file.get(), limit) : std::nullopt;
        if (!length || !checksum || !old.bytes || !now)
            continue; // not ours, or not to be read now: kept for a later start
        const bool finished = now->size() == *length && Checksum(*now) == *checksum;
        if (finished || *now == *old.bytes) {
            api.remove(journal.c_str()); // the write had finished, or had not begun
        } else if (Overwrite(file.get(), *old.bytes, api)) {
            api.remove(journal.c_str());
            playedBack = true;
        }
    }
    return playedBack;
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
    std::wstring target(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(file.get(), target.data(), static_cast<DWORD>(target.size()),
                                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) // a volume without a drive letter: fine for a plain file only
            return GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT ? std::nullopt
                                                                                   : std::optional(path);
        if (length < target.size()) {
            target.resize(length);
            return target;
        }
        target.resize(length);
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

SaveResult SaveFile(const std::wstring& path, std::string_view bytes, size_t limit, const LastLook& look,
                    const FileApi& api, std::wstring* strandedAt)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        return SaveResult::Failed; // the user has said this file is not to change

    const FileHandle lock = LockFile(path);
    if (!lock)
        return SaveResult::Failed;
    RemoveLeftovers(path, api);
    PlayBack(path, limit, api); // a cut-off write of this file is put right before it is looked at

    // The last look: while it is held, nobody else writes the file.
    FileHandle current;
    Patiently([&] {
        current = OpenFile(path, GENERIC_READ | GENERIC_WRITE | READ_CONTROL, OPEN_EXISTING, FILE_SHARE_READ);
        return current || IsMissing(GetLastError());
    });
    if (!current && !IsMissing(GetLastError()))
        return SaveResult::Failed;
    std::optional<std::string> old;
    if (current && !(old = ReadWhole(current.get(), limit)))
        return SaveResult::Failed;
    if (!look(old))
        return SaveResult::Refused;

    BY_HANDLE_FILE_INFORMATION file{};
    if (current && !GetFileInformationByHandle(current.get(), &file))
        return SaveResult::Failed;
    if (file.nNumberOfLinks > 1)
        return WriteInPlace(current.get(), path, *old, bytes, api, strandedAt);
    ScratchFile replacement(api);
    if (!WriteBeside(path, bytes, api, replacement))
        return SaveResult::Failed;
    return Replace(std::move(current), path, old, bytes, limit, replacement, api);
}

bool PlayBackCutOffSave(const std::wstring& path, size_t limit, const FileApi& api)
{
    if (!HasJournal(path))
        return false; // the common case, and no lock to wait for in a folder nobody may write to
    const FileHandle lock = LockFile(path);
    return lock && PlayBack(path, limit, api);
}
