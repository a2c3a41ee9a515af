#include "listfile/ListFile.h"

#include "shell/AppGlobals.h"

#include <windows.h>

#include <memory>
#include <utility>

namespace {

using TextEncoding::Encoding;

// The list came from Japanese systems: it is Shift_JIS whatever the system's code page is.
constexpr UINT kListCodePage = 932;

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD disposition,
                    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)
{
    HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    return FileHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

std::optional<std::string> ReadAll(HANDLE file)
{
    // Read to the end, whatever the size said a moment ago: the file may grow meanwhile.
    LARGE_INTEGER size{};
    GetFileSizeEx(file, &size);
    std::string bytes(static_cast<size_t>(size.QuadPart) + 4096, '\0');
    size_t used = 0;
    for (;;) {
        if (used == bytes.size())
            bytes.resize(bytes.size() * 2);
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - used, 1u << 30));
        if (!ReadFile(file, bytes.data() + used, want, &got, nullptr))
            return std::nullopt;
        if (got == 0) {
            bytes.resize(used);
            return bytes;
        }
        used += got;
    }
}

bool WriteAll(HANDLE file, std::string_view bytes, const FileApi& api)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        if (!api.write(file, bytes.data(), want, &written, nullptr) || written == 0)
            return false;
        bytes.remove_prefix(written);
    }
    return true;
}

std::optional<ListDocument> Load(HANDLE file)
{
    auto bytes = ReadAll(file);
    if (!bytes)
        return std::nullopt;
    ListDocument document;
    document.bytes = std::move(*bytes);
    document.encoding = TextEncoding::Detect(document.bytes);
    const std::string_view body = std::string_view(document.bytes).substr(TextEncoding::Bom(document.encoding).size());
    document.text = TextEncoding::Decode(body, document.encoding, kListCodePage);
    return document;
}

// ".<process>-<time>-<attempt>.tmp" in hexadecimal; formatted by hand, as printf would
// bring its whole number formatting into the program for this one name.
std::wstring UniqueSuffix(int attempt)
{
    std::wstring suffix = L".";
    for (const unsigned long long part : {static_cast<unsigned long long>(GetCurrentProcessId()), GetTickCount64(),
                                          static_cast<unsigned long long>(attempt)}) {
        std::wstring digits;
        for (unsigned long long rest = part; digits.empty() || rest; rest >>= 4)
            digits.insert(digits.begin(), L"0123456789abcdef"[rest & 15]);
        suffix += digits + L"-";
    }
    suffix.back() = L'.';
    return suffix + L"tmp";
}

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Waits out a virus scanner or an indexer that holds a file for a moment.
template <class Operation>
bool Patiently(Operation operation)
{
    for (int attempt = 1;; ++attempt) {
        if (operation())
            return true;
        const DWORD error = GetLastError();
        if (attempt == 10 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            return false;
        Sleep(100);
    }
}

// A file of the save's own beside the list, removed again unless it is kept.
class ScratchFile {
public:
    ScratchFile() = default;
    explicit ScratchFile(std::wstring path) : path_(std::move(path)) {}
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    ~ScratchFile() { Reset({}); }

    const std::wstring& path() const { return path_; }
    void Reset(std::wstring path)
    {
        if (!path_.empty())
            Patiently([this] { return DeleteFileW(path_.c_str()) || IsMissing(GetLastError()); });
        path_ = std::move(path);
    }
    std::wstring Keep() { return std::exchange(path_, {}); }

private:
    std::wstring path_;
};

// The file to replace: where PIKEROSU.DAT is a link, the file it points to, so the link
// stays a link. Nothing when a link cannot be followed.
std::optional<std::wstring> FileToReplace(const std::wstring& path)
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

// The new bytes beside the file under a name of their own, on the disk before they are used.
bool WriteBeside(const std::wstring& path, std::string_view bytes, const FileApi& api, ScratchFile& written)
{
    FileHandle file;
    for (int attempt = 0; !file && attempt < 16; ++attempt) {
        std::wstring name = path + UniqueSuffix(attempt);
        file = OpenFile(name, GENERIC_WRITE, CREATE_NEW, 0);
        if (file)
            written.Reset(std::move(name));
        else if (GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    return file && WriteAll(file.get(), bytes, api) && api.flush(file.get());
}

// A name beside the file that nothing has.
std::wstring FreeNameBeside(const std::wstring& path)
{
    for (int attempt = 0;; ++attempt) {
        std::wstring name = path + UniqueSuffix(attempt);
        if (!Exists(name) || attempt == 16)
            return name;
    }
}

ListWriteResult Strand(ScratchFile& oldList, std::wstring* strandedAt)
{
    std::wstring path = oldList.Keep();
    if (strandedAt)
        *strandedAt = std::move(path);
    return ListWriteResult::Stranded;
}

bool Overwrite(HANDLE file, std::string_view bytes, const FileApi& api)
{
    return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) && WriteAll(file, bytes, api) &&
           SetEndOfFile(file) && api.flush(file);
}

// A file with more than one name is written through its own handle, so that every name sees
// the new list; a copy of the old bytes holds the list until the new one is on the disk.
ListWriteResult OverwriteInPlace(HANDLE file, const std::wstring& path, std::string_view old, std::string_view bytes,
                                 const FileApi& api, std::wstring* strandedAt)
{
    ScratchFile copy;
    if (!WriteBeside(path, old, api, copy))
        return ListWriteResult::Failed;
    if (Overwrite(file, bytes, api))
        return ListWriteResult::Written;
    if (Overwrite(file, old, api))
        return ListWriteResult::Failed;
    return Strand(copy, strandedAt);
}

// Puts the new file in the old one's place in one step. The old file stays under a backup
// name until then, and comes back where the swap fails after it had gone.
ListWriteResult Swap(const std::wstring& path, ScratchFile& replacement, const FileApi& api, std::wstring* strandedAt)
{
    ScratchFile backup(FreeNameBeside(path));
    const DWORD attributes = GetFileAttributesW(path.c_str()); // not every ReplaceFile carries them over
    const auto moveInPlace = [&](const ScratchFile& file) {
        return Patiently([&] { return api.move(file.path().c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH); });
    };
    const auto newListInPlace = [&] {
        replacement.Keep();
        if (attributes != INVALID_FILE_ATTRIBUTES)
            SetFileAttributesW(path.c_str(), attributes);
        return ListWriteResult::Written;
    };
    if (Patiently([&] {
            return api.replace(path.c_str(), replacement.path().c_str(), backup.path().c_str(),
                               REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
        }))
        return newListInPlace();
    if (Exists(path))
        return ListWriteResult::Failed; // the old file never left
    if (Exists(backup.path()) && moveInPlace(backup)) {
        backup.Keep();
        return ListWriteResult::Failed;
    }
    if (moveInPlace(replacement))
        return newListInPlace();
    // Without a backup (a ReplaceFile that lost the old file outright) the new list is all there is.
    return Strand(Exists(backup.path()) ? backup : replacement, strandedAt);
}

// Missing (deleted meanwhile): the new list takes the free name. A name that is not free after
// all (a link whose target cannot be reached, which a move would replace) is left as it is.
ListWriteResult CreateListFile(const std::wstring& path, std::string_view bytes, const FileApi& api)
{
    FileHandle file = OpenFile(path, GENERIC_WRITE, CREATE_NEW, 0);
    if (!file)
        return ListWriteResult::Failed;
    if (WriteAll(file.get(), bytes, api) && api.flush(file.get()))
        return ListWriteResult::Written;
    file.reset();
    DeleteFileW(path.c_str()); // there was none
    return ListWriteResult::Failed;
}

// Writes the bytes beside the old file first, then takes the last look for another writer,
// then swaps them in or overwrites in place: a failure never leaves half a list.
ListWriteResult ReplaceListFile(std::string_view bytes, const ListDocument& loaded, OtherChanges otherChanges,
                                const FileApi& api, std::wstring* strandedAt)
{
    const auto target = FileToReplace(ListFilePath());
    if (!target)
        return ListWriteResult::Failed;
    const std::wstring& path = *target;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        return ListWriteResult::Failed; // the user has said this file is not to change

    ScratchFile replacement;
    if (!WriteBeside(path, bytes, api, replacement))
        return ListWriteResult::Failed;

    // The last look comes right before the write, so that another program's save is seen
    // however long the editor was open; a file held by a program that does not let it be
    // replaced is found here too.
    FileHandle current = OpenFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_EXISTING);
    if (!current) {
        if (!IsMissing(GetLastError()))
            return ListWriteResult::Failed;
        return CreateListFile(path, bytes, api);
    }
    const auto now = ReadAll(current.get());
    if (!now)
        return ListWriteResult::Failed;
    if (*now != loaded.bytes && otherChanges == OtherChanges::Keep)
        return ListWriteResult::Changed;
    BY_HANDLE_FILE_INFORMATION file{};
    if (!GetFileInformationByHandle(current.get(), &file))
        return ListWriteResult::Failed;
    if (file.nNumberOfLinks > 1)
        return OverwriteInPlace(current.get(), path, *now, bytes, api, strandedAt);
    current.reset();
    return Swap(path, replacement, api, strandedAt);
}

} // namespace

std::wstring ListFilePath()
{
    return AppPath + L"PIKEROSU.DAT";
}

std::wstring_view WithoutFinalLineBreak(std::wstring_view text)
{
    if (text.ends_with(L"\r\n"))
        text.remove_suffix(2);
    else if (text.ends_with(L'\n') || text.ends_with(L'\r'))
        text.remove_suffix(1);
    return text;
}

std::vector<std::wstring_view> SplitLines(std::wstring_view text)
{
    std::vector<std::wstring_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + (text.substr(end, 2) == L"\r\n" ? 2 : 1);
    }
    return lines;
}

void ReloadCandidates(CandidateList& list)
{
    const FileHandle file = OpenFile(ListFilePath(), GENERIC_READ, OPEN_EXISTING);
    if (!file)
        return;
    auto document = Load(file.get());
    if (!document)
        return;
    std::wstring& text = document->text;
    std::vector<std::wstring_view> entries = SplitLines(text);
    std::erase_if(entries, [](std::wstring_view line) { return line.starts_with(L'#'); });
    size_t characters = 0;
    for (std::wstring_view entry : entries)
        characters += entry.size() + 1;
    list.Reserve(entries.size(), characters);
    // Long lists load fast when no entry is copied: a zero over each line break ends it.
    for (std::wstring_view entry : entries) {
        text[static_cast<size_t>(entry.data() - text.data()) + entry.size()] = L'\0';
        list.Append(entry);
    }
}

std::optional<ListDocument> ReadListFile()
{
    const std::wstring path = ListFilePath();
    FileHandle file = OpenFile(path, GENERIC_READ, OPEN_ALWAYS);
    if (file)
        return Load(file.get());
    // Missing and not creatable because the program's folder is gone is still an empty list.
    // Missing in a folder that is there is a link into a folder that is not (a share offline);
    // that, and anything else (held by another program, no rights), is a list we cannot read.
    if (!Exists(path) && IsMissing(GetLastError()) && !Exists(AppPath))
        return ListDocument{};
    return std::nullopt;
}

ListWriteResult WriteListFile(std::wstring_view text, const ListDocument& loaded, OtherChanges otherChanges,
                              const FileApi& api, std::wstring* strandedAt)
{
    if (text == WithoutFinalLineBreak(loaded.text))
        return ListWriteResult::Written; // untouched: nothing of the user's to write
    if (text.find(TextEncoding::kReplacement) != std::wstring_view::npos)
        return ListWriteResult::Unreadable;
    const Encoding encoding = loaded.encoding;
    // A lone LF alone marks a file of LF line breaks; anything else gets Windows' own.
    const bool lf = loaded.text.find(L'\n') != std::wstring::npos && loaded.text.find(L'\r') == std::wstring::npos;
    const auto encoded = TextEncoding::Encode(std::wstring(text) + (lf ? L"\n" : L"\r\n"), encoding, kListCodePage);
    if (!encoded)
        return ListWriteResult::Unrepresentable;
    return ReplaceListFile(std::string(TextEncoding::Bom(encoding)) + *encoded, loaded, otherChanges, api, strandedAt);
}

size_t FirstUnrepresentable(std::wstring_view text, const ListDocument& loaded)
{
    return TextEncoding::FirstUnencodable(text, loaded.encoding, kListCodePage);
}
