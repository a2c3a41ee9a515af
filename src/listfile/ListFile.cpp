#include "listfile/ListFile.h"

#include "shell/AnsiCodePage.h"
#include "shell/AppGlobals.h"

#include <windows.h>

#include <memory>
#include <optional>

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

FileHandle OpenFile(const std::wstring& path, DWORD access, DWORD disposition)
{
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
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

} // namespace

std::wstring ListFilePath()
{
    return AppPath + L"PIKEROSU.DAT";
}

std::vector<std::wstring_view> SplitLines(std::wstring_view text)
{
    std::vector<std::wstring_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t cr = text.find(L'\r', start);
        if (cr == std::wstring_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, cr - start));
        start = cr + 1;
        if (start < text.size() && text[start] == L'\n')
            ++start;
    }
    return lines;
}

void ReloadCandidates(CandidateList& list)
{
    const FileHandle file = OpenFile(ListFilePath(), GENERIC_READ, OPEN_EXISTING);
    if (!file)
        return;
    const auto bytes = ReadAll(file.get());
    if (!bytes)
        return;
    std::wstring text = AnsiCodePage::ToWide(*bytes);
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

std::wstring ReadListFile()
{
    FileHandle file = OpenFile(ListFilePath(), GENERIC_READ, OPEN_ALWAYS);
    if (!file)
        return {};
    const auto bytes = ReadAll(file.get());
    return bytes ? AnsiCodePage::ToWide(*bytes) : std::wstring();
}

ListWriteResult WriteListFile(std::wstring_view text)
{
    auto bytes = AnsiCodePage::FromWide(text);
    if (!bytes)
        return ListWriteResult::Unrepresentable;
    bytes->append("\r\n");

    // Write beside the old file, then swap it in, so a failure never leaves half a list.
    const std::wstring path = ListFilePath();
    const std::wstring temporary = path + L".new";
    bool written = false;
    {
        const FileHandle file = OpenFile(temporary, GENERIC_WRITE, CREATE_ALWAYS);
        written = file && WriteAll(file.get(), *bytes) && FlushFileBuffers(file.get());
    }
    if (written && MoveFileExW(temporary.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return ListWriteResult::Written;
    DeleteFileW(temporary.c_str());
    return ListWriteResult::Failed;
}
