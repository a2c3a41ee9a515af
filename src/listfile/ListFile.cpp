#include "listfile/ListFile.h"

#include "shell/AppGlobals.h"

#include <windows.h>

#include <utility>

namespace {

using TextEncoding::Encoding;

// The list came from Japanese systems: it is Shift_JIS whatever the system's code page is.
constexpr UINT kListCodePage = 932;

std::optional<ListDocument> Load(HANDLE file, ReadFailure& failure, const FileApi& api)
{
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && static_cast<unsigned long long>(size.QuadPart) > kListLimit) {
        failure = ReadFailure::TooLarge;
        return std::nullopt;
    }
    std::optional<std::string> bytes; // a range another program's save holds is waited for, for a moment
    if (!Patiently([&] { return (bytes = ReadWhole(api, file, kListLimit)).has_value(); })) {
        if (GetLastError() == ERROR_LOCK_VIOLATION)
            failure = ReadFailure::Busy;
        return std::nullopt;
    }
    ListDocument document;
    document.bytes = std::move(*bytes);
    document.encoding = TextEncoding::Detect(document.bytes);
    const std::string_view body = std::string_view(document.bytes).substr(TextEncoding::Bom(document.encoding).size());
    document.text = TextEncoding::Decode(body, document.encoding, kListCodePage);
    return document;
}

std::optional<ListDocument> ReadAt(const std::wstring& path, bool createMissing, ReadFailure& failure,
                                   const FileApi& api)
{
    if (const FileHandle file = OpenFile(api, path, GENERIC_READ, OPEN_EXISTING))
        return Load(file.get(), failure, api);
    // There but not to be read (held by another program, no rights, a folder): not an empty list.
    if (!IsMissing(GetLastError()))
        return std::nullopt;
    // Missing, yet the name is taken: a link whose file is not there (a share offline, or one planted),
    // which is not followed to create a file where it leads. Windows shows the link's own entry; Wine
    // only refuses to create one under its name.
    failure = ReadFailure::LinkedFileMissing;
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
        return std::nullopt;
    // Missing is an empty list, created where the folder takes one.
    if (!createMissing || OpenFile(api, path, GENERIC_READ, CREATE_NEW, 0, FILE_FLAG_OPEN_REPARSE_POINT) ||
        GetLastError() != ERROR_FILE_EXISTS)
        return ListDocument{};
    const FileHandle file = OpenFile(api, path, GENERIC_READ, OPEN_EXISTING); // another program's, just made?
    if (file || !IsMissing(GetLastError()))
        failure = ReadFailure::Unreadable;
    return file ? Load(file.get(), failure, api) : std::nullopt;
}

// The file a name stands for: where it is a symbolic link, the file it points to, so that a save
// keeps the link and its journal lies beside the list. Nothing when a link cannot be followed.
std::optional<std::wstring> FileBehindLinks(const std::wstring& path, const FileApi& api)
{
    const FileHandle file = OpenFile(api, path, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (!file)
        return path; // missing (created as it is) or unusable (the save fails on its own)
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = api.finalPath(file.get(), name.data(), static_cast<DWORD>(name.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) // a volume without a drive letter: fine for a plain file only
            return GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT ? std::nullopt : std::optional(path);
        const bool fits = length < name.size();
        name.resize(length);
        if (fits)
            return name;
    }
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

std::optional<ListDocument> ReadListFile(ReadFailure* why, const TellCutOff& tell, bool createMissing,
                                         const FileApi& api)
{
    ReadFailure failure = ReadFailure::Unreadable;
    std::optional<ListDocument> document;
    const std::wstring path = ListFilePath();
    if (const auto target = FileBehindLinks(path, api);
        target && !ReadInTurn(*target, kListLimit, tell, [&] { document = ReadAt(path, createMissing, failure, api); }, api))
        failure = ReadFailure::Busy;
    if (why)
        *why = document ? ReadFailure::None : failure;
    return document;
}

ReadFailure ReloadCandidates(CandidateList& list, const TellCutOff& tell, const FileApi& api)
{
    ReadFailure why = ReadFailure::None;
    auto document = ReadListFile(&why, tell, false, api);
    if (!document)
        return why;
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
    return ReadFailure::None;
}

SaveResult WriteListFile(std::wstring_view text, const ListDocument& loaded, OtherChanges otherChanges,
                         const FileApi& api, const TellCutOff& tell)
{
    if (text == WithoutFinalLineBreak(loaded.text))
        return SaveResult::Saved; // untouched: nothing of the user's to write
    if (text.find(TextEncoding::kReplacement) != std::wstring_view::npos)
        return SaveResult::Unreadable;
    const Encoding encoding = loaded.encoding;
    // A lone LF alone marks a file of LF line breaks; anything else gets Windows' own.
    const bool lf = loaded.text.find(L'\n') != std::wstring::npos && loaded.text.find(L'\r') == std::wstring::npos;
    const auto encoded = TextEncoding::Encode(std::wstring(text) + (lf ? L"\n" : L"\r\n"), encoding, kListCodePage);
    if (!encoded)
        return SaveResult::Unrepresentable;
    const auto target = FileBehindLinks(ListFilePath(), api);
    if (!target)
        return SaveResult::Failed;
    // Another program's change is kept unless the user said to overwrite it; a list deleted
    // meanwhile holds nothing to lose.
    const auto look = [&](const std::optional<std::string>& current) {
        return otherChanges == OtherChanges::Overwrite || !current || *current == loaded.bytes;
    };
    return SaveFile(*target, std::string(TextEncoding::Bom(encoding)) + *encoded, kListLimit, look, api, tell);
}

size_t FirstUnrepresentable(std::wstring_view text, const ListDocument& loaded)
{
    return TextEncoding::FirstUnencodable(text, loaded.encoding, kListCodePage);
}
