#include "listfile/ListFile.h"

#include "shell/AppGlobals.h"

#include <windows.h>

#include <memory>

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

bool WriteAll(HANDLE file, std::string_view bytes)
{
    while (!bytes.empty()) {
        DWORD written = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 20));
        if (!WriteFile(file, bytes.data(), want, &written, nullptr) || written == 0)
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

// The file that saving replaces: where PIKEROSU.DAT is a link, the file it points to, so
// the link stays a link. Nothing when a link cannot be followed.
std::optional<std::wstring> SaveTarget(const std::wstring& path)
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

bool IsMissing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Writes the bytes beside the old file under a name of its own, then swaps them in, so that
// a failure never leaves half a list and the file keeps its identity.
ListWriteResult ReplaceListFile(std::string_view bytes, const ListDocument& loaded, OtherChanges otherChanges)
{
    const auto target = SaveTarget(ListFilePath());
    if (!target)
        return ListWriteResult::Failed;
    const std::wstring& path = *target;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY))
        return ListWriteResult::Failed; // the user has said this file is not to change

    std::wstring temporary;
    FileHandle file;
    for (int attempt = 0; !file && attempt < 16; ++attempt) {
        temporary = path + UniqueSuffix(attempt);
        file = OpenFile(temporary, GENERIC_WRITE, CREATE_NEW, 0);
        if (!file && GetLastError() != ERROR_FILE_EXISTS)
            return ListWriteResult::Failed;
    }
    if (!file)
        return ListWriteResult::Failed;
    const bool written = WriteAll(file.get(), bytes) && FlushFileBuffers(file.get());
    file.reset();
    const auto fail = [&](ListWriteResult result) {
        DeleteFileW(temporary.c_str());
        return result;
    };
    if (!written)
        return fail(ListWriteResult::Failed);

    // The last look at the file comes right before the swap, so that another program's save
    // is seen however long the editor was open. Held by a program that does not let it be
    // replaced is found here too, before ReplaceFile (which can leave a stray file behind).
    FileHandle current = OpenFile(path, GENERIC_READ | GENERIC_WRITE | DELETE, OPEN_EXISTING);
    const bool exists = current || !IsMissing(GetLastError());
    if (exists) {
        const auto now = current ? ReadAll(current.get()) : std::nullopt;
        if (!now)
            return fail(ListWriteResult::Failed);
        if (*now != loaded.bytes && otherChanges == OtherChanges::Keep)
            return fail(ListWriteResult::Changed);
    }
    current.reset();

    if (!exists)
        return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) ? ListWriteResult::Written
                                                                                     : fail(ListWriteResult::Failed);
    if (!ReplaceFileW(path.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr)) {
        // ReplaceFile can fail after the old file has gone; then the new one must take its place,
        // and if even that fails it stays where it is, as the only copy.
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return fail(ListWriteResult::Failed);
        return MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH) ? ListWriteResult::Written
                                                                                     : ListWriteResult::Failed;
    }
    SetFileAttributesW(path.c_str(), attributes); // not every ReplaceFile carries them over
    return ListWriteResult::Written;
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
    // Missing and not creatable (its folder is gone) is still an empty list; anything else
    // (held by another program, no rights, a folder of that name) is a file we cannot read.
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && IsMissing(GetLastError()))
        return ListDocument{};
    return std::nullopt;
}

ListWriteResult WriteListFile(std::wstring_view text, const ListDocument& loaded, OtherChanges otherChanges)
{
    if (text.find(TextEncoding::kReplacement) != std::wstring_view::npos)
        return ListWriteResult::Unreadable;
    const Encoding encoding = loaded.encoding;
    // Untouched, the file's own bytes, so a character with two codes keeps the one it had
    // and the final line break stays whatever it was.
    if (text.size() < loaded.text.size() && text == WithoutFinalLineBreak(loaded.text))
        return ReplaceListFile(loaded.bytes, loaded, otherChanges);
    // A lone LF alone marks a file of LF line breaks; anything else gets Windows' own.
    const bool lf = loaded.text.find(L'\n') != std::wstring::npos && loaded.text.find(L'\r') == std::wstring::npos;
    const std::wstring_view lineBreak = lf ? L"\n" : L"\r\n";
    std::string bytes;
    if (text == loaded.text) {
        bytes = loaded.bytes;
    } else {
        const auto encoded = TextEncoding::Encode(text, encoding, kListCodePage);
        if (!encoded)
            return ListWriteResult::Unrepresentable;
        bytes = std::string(TextEncoding::Bom(encoding)) + *encoded;
    }
    bytes += *TextEncoding::Encode(lineBreak, encoding, kListCodePage);
    return ReplaceListFile(bytes, loaded, otherChanges);
}

size_t FirstUnrepresentable(std::wstring_view text, const ListDocument& loaded)
{
    return TextEncoding::FirstUnencodable(text, loaded.encoding, kListCodePage);
}
